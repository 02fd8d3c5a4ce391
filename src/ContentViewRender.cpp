// Drawing the content from the model: every widget set from the model's
// current values, once per burst of changes.
#include "ContentView.h"

#include "DiagnosticsService.h"
#include "WindowParts.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace kelvane {

using namespace parts;

namespace {

constexpr std::string_view noDeviceText = "No authorized device";
constexpr std::string_view emptyLogText = "No diagnostics output yet.";
// What screen readers say for what the eye takes from colours.
constexpr std::string_view readyDescription = "ready";
constexpr std::string_view notReadyDescription = "not ready";

} // namespace

void ContentView::scheduleRender() {
    // The signal comes before the value is stored, and a stretch of
    // assignments sends several: redraw once, when the event loop next runs.
    if (renderPending_) return;
    renderPending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            renderPending_ = false;
            render();
        },
        Qt::QueuedConnection);
}

void ContentView::render() {
    const DiagnosticsSnapshot snapshot = model_->snapshot();
    const bool ready = DiagnosticsService::canStartMirror(snapshot);
    const bool refreshing = model_->isRefreshing();
    const bool starting = model_->isStarting();

    const bool errorAlerted = renderError();
    const std::optional<std::string>& message = model_->statusMessage();
    renderStatus(QString::fromStdString(message ? *message : snapshot.summary()), ready, errorAlerted);
    busyIndicator_->setVisible(refreshing || starting);

    renderChecks(snapshot.checks);
    renderPicker(snapshot);
    if (wirelessDialog_) wirelessDialog_->update();

    refreshButton_->setEnabled(!refreshing && !starting);
    startMirrorButton_->setEnabled(ready && !starting);
    lingguangMirrorButton_->setEnabled(ready && !starting);
    returnFocus();

    renderLog(snapshot);

    // Laid out now, not when the event loop gets to it: the next paint then
    // shows every new value in its new place, never a sentence squeezed for
    // a frame into the width of the one before it. (Showing lays out anyway.)
    if (isVisible()) layOutNow(window());
}

void ContentView::renderStatus(const QString& status, bool ready, [[maybe_unused]] bool errorAlerted) {
    statusDot_->setColor(ready ? readyColor() : warningColor());
    const bool changed = statusText_->text() != status;
    if (changed) {
        statusText_->setText(status);
        statusText_->setMaximumWidth(statusText_->sizeHint().width() + 1);
        statusBar_->setAccessibleName(status);
    }
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // Spoken each time the model sets it, even to the same words, unless the
    // error line has just said the same.
    const bool saidAsError = errorAlerted && errorLine_->text() == status;
    if ((changed || statusSet_) && !saidAsError) announce(statusBar_, status, false);
    statusSet_ = false;
#endif
    const QString description = qs(ready ? readyDescription : notReadyDescription);
    if (statusBar_->accessibleDescription() != description) statusBar_->setAccessibleDescription(description);
}

bool ContentView::renderError() {
    // The error line is present only while the model keeps an error. A
    // screen reader hears it as an alert each time it appears or changes its
    // words (a mirror start clears the error first, so each failure appears).
    const std::optional<std::string>& error = model_->lastError();
    if (!error) {
        errorLine_->hide();
        return false;
    }
    const QString text = QString::fromStdString(*error);
    const bool appears = errorLine_->isHidden() || errorLine_->text() != text;
    // Named first: the label then sends no second name change of its own.
    if (errorLine_->accessibleName() != text) errorLine_->setAccessibleName(text);
    setTextIfChanged(errorLine_, text);
    errorLine_->show();
    if (appears) {
        QAccessibleEvent alert(errorLine_, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
        announce(errorLine_, text, true);
    }
    return appears;
}

int ContentView::heightWithFullChecklist(int width) {
    const int now = std::max(heightForWidth(width), minimumSizeHint().height());
    QWidget* box = checks_->parentWidget();
    if (!box->isHidden()) return now;
    // Real rows, measured in the hidden list (showing it would lay them out,
    // which is more work) and taken away again. The column adds them with
    // its spacing.
    setCheckRows(DiagnosticsService::makeChecks(DiagnosticsSnapshot::initial()));
    const QMargins margins = layout()->contentsMargins();
    const int rows = checks_->totalHeightForWidth(width - margins.left() - margins.right());
    setCheckRows(model_->snapshot().checks);
    return now + columnSpacing + rows;
}

void ContentView::renderChecks(const std::vector<CheckItem>& checks) {
    setCheckRows(checks);
    checks_->parentWidget()->setVisible(!checks.empty());
}

void ContentView::setCheckRows(const std::vector<CheckItem>& checks) {
    // Rows are reused in place; a row's texts are set only when they differ,
    // so a redraw keeps a selection the user is making in a detail.
    while (checks_->count() > int(checks.size())) {
        QLayoutItem* item = checks_->takeAt(checks_->count() - 1);
        delete item->widget();
        delete item;
    }
    QWidget* box = checks_->parentWidget();
    const QFont body = font();
    bool madeRows = false;
    while (checks_->count() < int(checks.size())) {
        auto* row = new QWidget(box);
        row->setObjectName(QStringLiteral("checkRow"));
        setAccessibleRole(row, QAccessible::ListItem);
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        rowLayout->setSpacing(checkColumnSpacing);
        auto* dotColumn = new QVBoxLayout;
        dotColumn->setContentsMargins(0, checkDotTopPadding, 0, 0);
        auto* dot = new Dot(row);
        dot->setObjectName(QString::fromLatin1(checkDotName));
        dotColumn->addWidget(dot);
        dotColumn->addStretch(1);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(checkTextSpacing);
        auto* title = plainLabel(row, checkTitleName, headlineFont(body));
        auto* detail = plainLabel<MeasuredLabel>(row, checkDetailName, calloutFont(body));
        detail->setWordWrap(true);
        detail->setTextInteractionFlags(Qt::TextSelectableByMouse);
        makeSecondary(detail);
        texts->addWidget(title);
        texts->addWidget(detail);
        rowLayout->addLayout(dotColumn);
        rowLayout->addLayout(texts, 1);
        checks_->addWidget(row);
        madeRows = true;
    }
    if (madeRows) applyPalette();
    for (std::size_t index = 0; index < checks.size(); ++index) {
        QWidget* row = checks_->itemAt(int(index))->widget();
        const CheckItem& check = checks[index];
        const QString title = QString::fromStdString(check.title());
        const QString detail = QString::fromStdString(check.detail());
        row->findChild<Dot*>(QString::fromLatin1(checkDotName))->setColor(checkStateColor(check.state()));
        setTextIfChanged(row->findChild<QLabel*>(QString::fromLatin1(checkTitleName)), title);
        setTextIfChanged(row->findChild<QLabel*>(QString::fromLatin1(checkDetailName)), detail);
        // One utterance per row: "ADB, passed: System adb: /usr/bin/adb".
        const QString spoken = title + QStringLiteral(", ") + checkStateWord(check.state()) + QStringLiteral(": ") + detail;
        if (row->accessibleName() != spoken) row->setAccessibleName(spoken);
    }
}

void ContentView::renderPicker(const DiagnosticsSnapshot& snapshot) {
    if (static_cast<DevicePicker*>(devicePicker_)->isOpen()) return;
    // Entries: (label, value). The empty value stands for no device.
    std::vector<std::pair<QString, QString>> entries;
    for (const AndroidDevice& device : snapshot.authorizedDevices()) {
        const QString serial = QString::fromStdString(device.id());
        entries.emplace_back(serial, serial);
    }
    if (entries.empty()) entries.emplace_back(qs(noDeviceText), QString(""));

    bool same = devicePicker_->count() == int(entries.size());
    for (int index = 0; same && index < devicePicker_->count(); ++index) {
        same = devicePicker_->itemText(index) == entries[std::size_t(index)].first
            && devicePicker_->itemData(index).toString() == entries[std::size_t(index)].second;
    }
    if (!same) {
        devicePicker_->clear();
        for (const auto& [label, value] : entries) devicePicker_->addItem(label, value);
        devicePicker_->updateGeometry();
    }

    const std::optional<std::string>& selected = model_->selectedDeviceID();
    const QString value = selected ? QString::fromStdString(*selected) : QString("");
    int chosen = -1;
    for (int index = 0; index < devicePicker_->count(); ++index) {
        if (devicePicker_->itemData(index).toString() == value) {
            chosen = index;
            break;
        }
    }
    if (devicePicker_->currentIndex() != chosen) devicePicker_->setCurrentIndex(chosen);
}

void ContentView::renderLog(const DiagnosticsSnapshot& snapshot) {
    const QString text = snapshot.log.empty() ? qs(emptyLogText) : QString::fromStdString(snapshot.log);
    // Compared with what was last set, not with toPlainText(), which
    // normalises some characters: an unchanged log keeps its selection.
    const char* shown = "shownText";
    if (logText_->property(shown).toString() != text || !logText_->property(shown).isValid()) {
        logText_->setPlainText(text);
        logText_->setProperty(shown, text);
    }
}

} // namespace kelvane
