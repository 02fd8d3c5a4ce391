#include "ContentView.h"

#include "DiagnosticsService.h"
#include "SlimScrollBar.h"
#include "WindowParts.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QStyle>
#include <QTextLayout>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace kelvane {
namespace {

using namespace parts;

// ---- Texts -----------------------------------------------------------------

constexpr std::string_view descriptionText =
    "Diagnose adb, scrcpy, USB authorization, and start Android mirroring.";
constexpr std::string_view deviceLabelText = "Device";
constexpr std::string_view refreshText = "Refresh";
constexpr std::string_view startMirrorText = "Start Mirror";
constexpr std::string_view lingguangMirrorText = "Open Lingguang + Mirror";
constexpr std::string_view copyInstallText = "Copy Install Command";
constexpr std::string_view openLogText = "Open Log";
constexpr std::string_view wirelessText = "Wi-Fi\u2026";
constexpr std::string_view logTitleText = "Diagnostics Log";

// What screen readers say for what the eye takes from colours and motion.
constexpr std::string_view busyName = "Working";

} // namespace

using namespace parts;

ContentView::ContentView(std::shared_ptr<DiagnosticsViewModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)) {
    QAccessible::installFactory(sectionAccessible);
    setObjectName(QStringLiteral("contentView"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(columnPadding, columnPadding, columnPadding, columnPadding);
    column->setSpacing(columnSpacing);
    column->addLayout(makeHeader());
    column->addWidget(makeStatusBar());
    column->addWidget(makeChecklist());
    column->addLayout(makePicker());
    column->addLayout(makeActions());
    column->addLayout(makeLogPane());
    // Given more height than it needs, the column keeps its natural height.
    column->addStretch(1);

    // Tab goes through the controls in the order they are seen.
    const QList<QWidget*> tabOrder{devicePicker_, wirelessButton_, refreshButton_, startMirrorButton_, lingguangMirrorButton_,
                                   copyButton_, openLogButton_, logText_};
    for (qsizetype index = 1; index < tabOrder.size(); ++index) setTabOrder(tabOrder[index - 1], tabOrder[index]);

    applyPalette();
    subscription_ = model_->subscribe([this]([[maybe_unused]] Property property) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
        if (property == Property::statusMessage) statusSet_ = true;
#endif
        scheduleRender();
    });
    render();
}

QLayout* ContentView::makeHeader() {
    auto* header = new QVBoxLayout;
    header->setSpacing(headerSpacing);
    auto* title = plainLabel(this, "title", titleFont());
    title->setText(qs(applicationName));
    auto* description = plainLabel<MeasuredLabel>(this, "description", font());
    description->setText(qs(descriptionText));
    description->setWordWrap(true);
    makeSecondary(description);
    header->addWidget(title);
    header->addWidget(description);
    return header;

}

QWidget* ContentView::makeStatusBar() {
    auto* statusBox = new RoundedPanel(QPalette::Base, this);
    statusBox->setObjectName(QStringLiteral("statusBar"));
    // Heard as a status bar named by the status text, "ready" or "not
    // ready" as its description; the dot is left out.
    setAccessibleRole(statusBox, QAccessible::StatusBar);
    statusBar_ = statusBox;
    auto* statusRow = new QHBoxLayout(statusBox);
    statusRow->setContentsMargins(statusPadding, statusPadding, statusPadding, statusPadding);
    statusRow->setSpacing(statusSpacing);
    statusDot_ = new Dot(statusBox);
    statusDot_->setObjectName(QStringLiteral("statusDot"));
    statusText_ = plainLabel<WrappingLabel>(statusBox, "statusText", calloutFont(font()));
    makeSecondary(statusText_, QPalette::Base);
    busyIndicator_ = new BusyIndicator(statusBox);
    busyIndicator_->setObjectName(QStringLiteral("busyIndicator"));
    setAccessibleRole(busyIndicator_, QAccessible::ProgressBar);
    busyIndicator_->setAccessibleName(qs(busyName));
    busyIndicator_->hide();
    statusRow->addWidget(statusDot_, 0, Qt::AlignVCenter);
    // The text takes what it needs of the row (render() caps it at its
    // one-line width), wrapping only when the row is narrower than that.
    // No stretch of its own: one would split the row's room evenly with the
    // stretch after the indicator, and a long text would wrap in half of it.
    statusRow->addWidget(statusText_, 0, Qt::AlignVCenter);
    statusRow->addWidget(busyIndicator_, 0, Qt::AlignVCenter);
    statusRow->addStretch(1);
    // The row keeps its height whether or not the indicator is there, so the
    // sections below do not jump at the start and end of every operation.
    statusRow->addStrut(busyIndicator_->height());
    return statusBox;

}

// One row per check, made by renderChecks.
QWidget* ContentView::makeChecklist() {
    auto* checksBox = new QWidget(this);
    checksBox->setObjectName(QStringLiteral("checks"));
    setAccessibleRole(checksBox, QAccessible::List);
    checks_ = new QVBoxLayout(checksBox);
    checks_->setContentsMargins(0, 0, 0, 0);
    checks_->setSpacing(checkRowSpacing);
    return checksBox;

}

QLayout* ContentView::makePicker() {
    auto* pickerRow = new QHBoxLayout;
    // The style's own spacing between a label and its drop-down.
    int pickerSpacing = style()->combinedLayoutSpacing(QSizePolicy::Label, QSizePolicy::ComboBox, Qt::Horizontal, nullptr, this);
    if (pickerSpacing < 0) pickerSpacing = style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing, nullptr, this);
    pickerRow->setSpacing(pickerSpacing);
    auto* deviceLabel = plainLabel(this, "deviceLabel", font());
    deviceLabel->setText(qs(deviceLabelText));
    auto* picker = new DevicePicker(this);
    picker->closed = [this] { scheduleRender(); };
    devicePicker_ = picker;
    devicePicker_->setObjectName(QStringLiteral("devicePicker"));
    devicePicker_->setAccessibleName(qs(deviceLabelText));
    devicePicker_->setMaximumWidth(pickerMaximumWidth);
    deviceLabel->setBuddy(devicePicker_);
    pickerRow->addWidget(deviceLabel, 0, Qt::AlignVCenter);
    pickerRow->addWidget(devicePicker_, 0, Qt::AlignVCenter);
    wirelessButton_ = pushButton(this, "wirelessButton", wirelessText);
    pickerRow->addWidget(wirelessButton_, 0, Qt::AlignVCenter);
    connect(wirelessButton_, &QPushButton::clicked, this, [this] {
        if (!wirelessDialog_) wirelessDialog_ = new WirelessDialog(model_, this);
        wirelessDialog_->update();
        wirelessDialog_->open();
    });
    pickerRow->addStretch(1);
    // Only a choice of the user's writes back; refilling the list does not.
    connect(devicePicker_, &QComboBox::activated, this, &ContentView::deviceChosen);
    return pickerRow;

}

QLayout* ContentView::makeActions() {
    auto* actions = new QHBoxLayout;
    actions->setSpacing(buttonSpacing);
    refreshButton_ = pushButton(this, "refreshButton", refreshText);
    startMirrorButton_ = pushButton(this, "startMirrorButton", startMirrorText);
    lingguangMirrorButton_ = pushButton(this, "lingguangMirrorButton", lingguangMirrorText);
    copyButton_ = pushButton(this, "copyInstallButton", copyInstallText);
    openLogButton_ = pushButton(this, "openLogButton", openLogText);
    for (QPushButton* button : {refreshButton_, startMirrorButton_, lingguangMirrorButton_, copyButton_, openLogButton_})
        actions->addWidget(button, 0, Qt::AlignVCenter);
    actions->addStretch(1);
    // Each operation returns at once; its outcome arrives through the model.
    connect(refreshButton_, &QPushButton::clicked, this, &ContentView::refreshClicked);
    connect(startMirrorButton_, &QPushButton::clicked, this, [this] { mirrorClicked(false); });
    connect(lingguangMirrorButton_, &QPushButton::clicked, this, [this] { mirrorClicked(true); });
    connect(copyButton_, &QPushButton::clicked, this, &ContentView::copyInstallCommand);
    connect(openLogButton_, &QPushButton::clicked, this, [this] { model_->openLog(); });
    return actions;

}

QLayout* ContentView::makeLogPane() {
    auto* logView = new QVBoxLayout;
    logView->setSpacing(logSpacing);
    errorLine_ = plainLabel<WrappingLabel>(this, "errorLine", font());
    setAccessibleRole(errorLine_, QAccessible::AlertMessage);
    QPalette errorPalette = errorLine_->palette();
    errorPalette.setColor(QPalette::WindowText, failureColor());
    errorLine_->setPalette(errorPalette);
    errorLine_->hide();
    auto* logTitle = plainLabel(this, "logTitle", headlineFont(font()));
    logTitle->setText(qs(logTitleText));
    // The box is painted behind the text by paintEvent, so that the title
    // and the text are siblings: the title then labels the text for screen
    // readers.
    logText_ = new QPlainTextEdit(this);
    logText_->setObjectName(QStringLiteral("logText"));
    logText_->setAccessibleName(qs(logTitleText));
    logTitle->setBuddy(logText_);
    logText_->setFixedHeight(logBoxHeight);
    logText_->setReadOnly(true);
    // A caret for the keyboard: shows where the focus is, and lets a screen
    // reader's user read the text line by line.
    logText_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    logText_->setUndoRedoEnabled(false);
    logText_->setFrameShape(QFrame::NoFrame);
    logText_->setFont(captionMonospacedFont(font()));
    logText_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    logText_->document()->setDocumentMargin(logPadding);
    // Tabs (adb separates its columns with them) at every eighth column, as
    // in a terminal.
    logText_->setTabStopDistance(tabColumns * QFontMetricsF(logText_->font()).horizontalAdvance(QLatin1Char(' ')));
    logText_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    makeSlim(logText_->verticalScrollBar());
    logText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The box paints the background with its rounded corners.
    logText_->setAutoFillBackground(false);
    logText_->viewport()->setAutoFillBackground(false);
    logView->addWidget(errorLine_);
    logView->addWidget(logTitle);
    logView->addWidget(logText_);
    return logView;
}

void ContentView::paintEvent(QPaintEvent*) { paintPanel(this, logText_->geometry(), QPalette::Base); }

void ContentView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) applyPalette();
}

void ContentView::applyPalette() {
    const QPalette colours = palette();
    for (QWidget* widget : findChildren<QWidget*>()) {
        const QVariant background = widget->property(secondaryOnProperty);
        if (!background.isValid()) continue;
        QPalette own = widget->palette();
        own.setColor(QPalette::WindowText, dimmed(colours.color(QPalette::WindowText),
                                                  colours.color(QPalette::ColorRole(background.toInt())), textContrast,
                                                  secondaryDimming));
        widget->setPalette(own);
    }
}

void ContentView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    keepNeededHeight();
}

void ContentView::keepNeededHeight() {
    const int needed = heightForWidth(width());
    if (needed <= 0 || needed == minimumHeight()) return;
    setMinimumHeight(needed);
    emit neededHeightChanged();
}

// Whether a click on `button` starts its operation. A double click, or a
// burst of clicks (a shaky hand, an accessibility client), means one click:
// a click that comes within the desktop's double-click interval of the
// last one taken on the same button is not taken, and neither is one that
// the model's state forbids already, before the button is redrawn as
// disabled. One mirror, however fast the clicks come.
bool ContentView::takesClick(QPushButton* button) {
    const bool busy = model_->isRefreshing() || model_->isStarting();
    const bool mirror = button != refreshButton_;
    if (busy || (mirror && !DiagnosticsService::canStartMirror(model_->snapshot()))) return false;
    if (button == lastClicked_ && lastClick_.isValid() && lastClick_.elapsed() < QApplication::doubleClickInterval()) {
        return false;
    }
    lastClicked_ = button;
    lastClick_.start();
    return true;
}

void ContentView::refreshClicked() {
    if (!takesClick(refreshButton_)) return;
    parkFocus(refreshButton_);
    model_->refresh();
}

void ContentView::mirrorClicked(bool openLingguang) {
    QPushButton* button = openLingguang ? lingguangMirrorButton_ : startMirrorButton_;
    if (!takesClick(button)) return;
    parkFocus(button);
    model_->startMirror(openLingguang);
}

// A disabled button loses the keyboard focus, and Qt hands it on to the next
// control: after Refresh that is Start Mirror, which a second Space would
// press. The focus waits on the device picker instead, and goes back to the
// button once it is enabled again, unless the user has moved it or opened
// the picker meanwhile.
void ContentView::parkFocus(QPushButton* pressed) {
    if (window()->focusWidget() != pressed) return;
    devicePicker_->setFocus(Qt::OtherFocusReason);
    focusReturn_ = pressed;
}

void ContentView::returnFocus() {
    if (!focusReturn_ || !focusReturn_->isEnabled()) return;
    const bool untouched = window()->focusWidget() == devicePicker_ && !devicePicker_->view()->isVisible();
    if (untouched) focusReturn_->setFocus(Qt::OtherFocusReason);
    focusReturn_ = nullptr;
}

void ContentView::copyInstallCommand() {
    // Replaces whatever the clipboard held with the plain text alone.
    QGuiApplication::clipboard()->setText(qs(installCommand));
}

void ContentView::deviceChosen(int index) {
    const QString value = devicePicker_->itemData(index).toString();
    if (value.isEmpty()) model_->setSelectedDeviceID(std::nullopt);
    else model_->setSelectedDeviceID(value.toStdString());
}

} // namespace kelvane
