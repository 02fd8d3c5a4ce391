#include "ContentView.h"

#include "DiagnosticsService.h"

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

// ---- Texts -----------------------------------------------------------------

constexpr std::string_view descriptionText =
    "Diagnose adb, scrcpy, USB authorization, and start Android mirroring.";
constexpr std::string_view deviceLabelText = "Device";
constexpr std::string_view noDeviceText = "No authorized device";
constexpr std::string_view refreshText = "Refresh";
constexpr std::string_view startMirrorText = "Start Mirror";
constexpr std::string_view lingguangMirrorText = "Open Lingguang + Mirror";
constexpr std::string_view copyInstallText = "Copy Install Command";
constexpr std::string_view openLogText = "Open Log";
constexpr std::string_view logTitleText = "Diagnostics Log";
constexpr std::string_view emptyLogText = "No diagnostics output yet.";

// What screen readers say for what the eye takes from colours and motion.
constexpr std::string_view readyDescription = "ready";
constexpr std::string_view notReadyDescription = "not ready";
constexpr std::string_view passedWord = "passed";
constexpr std::string_view warningWord = "warning";
constexpr std::string_view failedWord = "failed";
constexpr std::string_view busyName = "Working";

// ---- Sizes, in device-independent pixels ------------------------------------

constexpr int columnPadding = 24;
constexpr int columnSpacing = 20;
constexpr int headerSpacing = 6;
constexpr int titlePixelSize = 30;
constexpr int dotDiameter = 10;
constexpr int statusPadding = 12;
constexpr int statusSpacing = 10;
constexpr int checkRowSpacing = 10;
constexpr int checkDotTopPadding = 5;
constexpr int checkColumnSpacing = 10;
constexpr int checkTextSpacing = 2;
constexpr int pickerMaximumWidth = 320;
constexpr int buttonSpacing = 12;
constexpr int buttonLabelPadding = 14;
constexpr int logSpacing = 8;
constexpr int logBoxHeight = 130;
constexpr int logPadding = 10;
constexpr int tabColumns = 8;
constexpr double cornerRadius = 8;
// A spinning indicator's regular size, and the scale the status bar draws it at.
constexpr int busyIndicatorRegularSize = 32;
constexpr double busyIndicatorScale = 0.7;

// ---- Text styles: the body font and sizes relative to it ---------------------

// Body, callout and caption sizes in the proportions of the desktop's type
// scale (13, 12 and 10 points), but never below a size that stays readable
// where the body font itself is small.
constexpr double calloutScale = 12.0 / 13.0;
constexpr double captionScale = 10.0 / 13.0;
constexpr double smallestReadablePointSize = 8.0;

// `font` at `factor` times the size of `body`.
QFont sizedFrom(QFont font, const QFont& body, double factor) {
    if (body.pointSizeF() > 0) {
        const double size = body.pointSizeF() * factor;
        font.setPointSizeF(std::max(size, std::min(smallestReadablePointSize, body.pointSizeF())));
    } else {
        font.setPixelSize(std::max(1, int(std::lround(body.pixelSize() * factor))));
    }
    return font;
}

QFont titleFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(titlePixelSize);
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont headlineFont(const QFont& body) {
    QFont font = body;
    font.setBold(true);
    return font;
}

QFont calloutFont(const QFont& body) { return sizedFrom(body, body, calloutScale); }

QFont captionMonospacedFont(const QFont& body) {
    QFont font = sizedFrom(QFontDatabase::systemFont(QFontDatabase::FixedFont), body, captionScale);
    font.setStyleHint(QFont::Monospace);
    if (!QFontInfo(font).fixedPitch()) {
        // The system's fixed-width name did not resolve (a font database
        // without aliases): take an installed fixed-width family instead.
        const QStringList families = QFontDatabase::families();
        const auto fixed = std::find_if(families.begin(), families.end(),
                                        [](const QString& family) { return QFontDatabase::isFixedPitch(family); });
        if (fixed != families.end()) font.setFamily(*fixed);
    }
    return font;
}

// Marks `widget` as dimmed text on `background`: ContentView colours it
// from the palette, also when the palette changes (dark mode).
constexpr const char* secondaryOnProperty = "kelvaneSecondaryOn";
void makeSecondary(QWidget* widget, QPalette::ColorRole background = QPalette::Window) {
    widget->setProperty(secondaryOnProperty, int(background));
}

// How bright `color` looks: WCAG's relative luminance.
double luminance(const QColor& color) {
    const auto linear = [](double channel) {
        return channel <= 0.03928 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) + 0.0722 * linear(color.blueF());
}

// `text` moved toward `background` by `share` (0: unchanged, 1: the
// background), in the 8-bit steps it is drawn in.
QColor blended(const QColor& text, const QColor& background, double share) {
    const auto channel = [share](int from, int to) { return int(std::lround(from + (to - from) * share)); };
    return QColor(channel(text.red(), background.red()), channel(text.green(), background.green()),
                  channel(text.blue(), background.blue()));
}

// `text` dimmed toward `background` as far as `deepest` goes while it keeps
// a contrast of `ratio` against it.
QColor dimmed(const QColor& text, const QColor& background, double ratio, double deepest) {
    double low = 0, high = deepest;
    if (contrastRatio(blended(text, background, high), background) >= ratio) return blended(text, background, high);
    for (int step = 0; step < 20; ++step) {
        const double middle = (low + high) / 2;
        (contrastRatio(blended(text, background, middle), background) >= ratio ? low : high) = middle;
    }
    return blended(text, background, low);
}

// WCAG's least contrasts: body text, and the parts of a control.
constexpr double textContrast = 4.5;
constexpr double controlContrast = 3.0;
// How far secondary text and the scroll handle are dimmed at most.
constexpr double secondaryDimming = 0.45;
constexpr double handleDimming = 0.6;

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

template <typename Label = QLabel>
Label* plainLabel(QWidget* parent, const char* name, const QFont& font) {
    auto* label = new Label(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    return label;
}

// A label whose text wraps at word boundaries and, where one word is longer
// than the line, anywhere inside it: no text makes it, or the window, wider.
// Plain text, drawn as a plain QLabel draws it.
class WrappingLabel : public QLabel {
public:
    using QLabel::QLabel;

    // One line per line of the text, as long as it is.
    QSize sizeHint() const override {
        QTextLayout layout;
        return layOut(layout, unbounded).grownBy(contentsMargins());
    }
    QSize minimumSizeHint() const override { return QSize(0, sizeHint().height()); }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override {
        const QMargins margins = contentsMargins();
        QTextLayout layout;
        return layOut(layout, width - margins.left() - margins.right()).height() + margins.top() + margins.bottom();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const QRect area = contentsRect();
        QTextLayout layout;
        const qreal height = layOut(layout, area.width()).height();
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        layout.draw(&painter, QPointF(area.left(), area.top() + std::max(0.0, (area.height() - height) / 2)));
    }

private:
    static constexpr qreal unbounded = 1e7;

    // Lays the text out in lines no wider than `width`, spaced as
    // QPainter::drawText spaces them; answers the size they take, rounded up.
    QSize layOut(QTextLayout& layout, qreal width) const {
        QString shown = text();
        shown.replace(QLatin1Char('\n'), QChar::LineSeparator);
        QTextOption option(Qt::AlignLeft);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setText(shown);
        layout.setFont(font());
        layout.setTextOption(option);
        const qreal leading = QFontMetricsF(font()).leading();
        qreal height = -leading;
        qreal widest = 0;
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(std::max<qreal>(1, width));
            height = std::ceil(height + leading);
            line.setPosition(QPointF(0, height));
            height += line.height();
            widest = std::max(widest, line.naturalTextWidth());
        }
        layout.endLayout();
        return QSize(int(std::ceil(widest)), int(std::ceil(std::max<qreal>(0, height))));
    }
};

// Setting an unchanged text would drop the user's selection in it.
void setTextIfChanged(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

// People who double-click a button mean one click: the second press of a
// double click is swallowed, so that it starts one mirror, not two (the
// first operation has ended long before the second press comes).
class OneClickPerDoubleClick : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject*, QEvent* event) override { return event->type() == QEvent::MouseButtonDblClick; }
};

// The device picker. While its pop-up is open its entries keep still, so
// that a click goes to the phone the pointer is on; what changed meanwhile
// is shown once the pop-up closes.
class DevicePicker : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> closed;
    bool isOpen() const { return view()->isVisible(); }

    void hidePopup() override {
        QComboBox::hidePopup();
        if (closed) closed();
    }
};

QPushButton* pushButton(QWidget* parent, const char* name, std::string_view text) {
    auto* button = new QPushButton(qs(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->installEventFilter(new OneClickPerDoubleClick(button));
    // A plain push button: Return and Enter never press it.
    button->setAutoDefault(false);
    button->setDefault(false);
    // Room around the label where the style leaves little.
    const int labelWidth = button->fontMetrics().horizontalAdvance(button->text());
    button->setMinimumWidth(std::max(button->sizeHint().width(), labelWidth + 2 * buttonLabelPadding));
    return button;
}

// The calm, slim scroll bar of the log box: a rounded knob on a clear track,
// inset so it stays inside the box's rounded corners; the knob (%1, darker
// under the pointer: %2) stands out from the box in every palette.
constexpr const char* logScrollBarStyle = R"(
QScrollBar:vertical { background: transparent; width: 11px; margin: 6px 4px 6px 0px; }
QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 24px; }
QScrollBar::handle:vertical:hover { background: %2; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; border: none; background: none; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
)";

// Redoes every pending layout in `top` and below it, innermost first.
void layOutNow(QWidget* top) {
    const QList<QWidget*> widgets = top->findChildren<QWidget*>();
    for (auto widget = widgets.crbegin(); widget != widgets.crend(); ++widget) {
        if ((*widget)->window() == top && (*widget)->layout()) (*widget)->layout()->activate();
    }
    if (top->layout()) top->layout()->activate();
}

// Child widgets of one checklist row.
constexpr const char* checkDotName = "checkDot";
constexpr const char* checkTitleName = "checkTitle";
constexpr const char* checkDetailName = "checkDetail";

// The box behind the status line and the log: a rounded rectangle.
void paintPanel(QWidget* widget, const QRect& area, QPalette::ColorRole background) {
    QPainter painter(widget);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(widget->palette().color(background));
    painter.drawRoundedRect(QRectF(area), cornerRadius, cornerRadius);
}

// ---- The accessible side -------------------------------------------------------

// The role a screen reader is told for one of the window's sections, where
// Qt's own would be a silent filler.
constexpr const char* accessibleRoleProperty = "kelvaneAccessibleRole";

void setAccessibleRole(QWidget* widget, QAccessible::Role role) {
    widget->setProperty(accessibleRoleProperty, int(role));
}

// A section as screen readers see it: its role, and its child widgets but
// the coloured dots, whose meaning the section's own name or description
// carries in words.
class SectionAccessible : public QAccessibleWidget {
public:
    SectionAccessible(QWidget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        // The busy indicator says that work is under way while it is shown.
        if (role() == QAccessible::ProgressBar) state.busy = !state.invisible;
        return state;
    }
    int childCount() const override { return int(spokenChildren().size()); }
    QAccessibleInterface* child(int index) const override {
        const QList<QWidget*> children = spokenChildren();
        if (index < 0 || index >= children.size()) return nullptr;
        return QAccessible::queryAccessibleInterface(children[index]);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child) return -1;
        return int(spokenChildren().indexOf(qobject_cast<QWidget*>(child->object())));
    }

private:
    QList<QWidget*> spokenChildren() const {
        QList<QWidget*> children = widget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        children.removeIf([](QWidget* child) { return child->isWindow() || qobject_cast<Dot*>(child); });
        return children;
    }
};

// Installed (once; Qt ignores a second time) by every window.
QAccessibleInterface* sectionAccessible(const QString&, QObject* object) {
    if (!object || !object->isWidgetType()) return nullptr;
    const QVariant role = object->property(accessibleRoleProperty);
    if (!role.isValid()) return nullptr;
    return new SectionAccessible(static_cast<QWidget*>(object), QAccessible::Role(role.toInt()));
}

// Asks screen readers to speak `message` at once (an alert: even
// interrupting), coming from `source`. Qt before 6.8 has no such request;
// there the name and showing events that come with each change are all that
// reaches them.
void announce([[maybe_unused]] QWidget* source, [[maybe_unused]] const QString& message, [[maybe_unused]] bool alert) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QAccessibleAnnouncementEvent event(source, message);
    event.setPoliteness(alert ? QAccessible::AnnouncementPoliteness::Assertive
                              : QAccessible::AnnouncementPoliteness::Polite);
    QAccessible::updateAccessibility(&event);
#endif
}

QString checkStateWord(CheckState state) {
    switch (state) {
    case CheckState::pass: return qs(passedWord);
    case CheckState::warn: return qs(warningWord);
    case CheckState::fail: break;
    }
    return qs(failedWord);
}

} // namespace

// ---- Colours -----------------------------------------------------------------

QColor readyColor() { return QColor(52, 199, 89); }
QColor warningColor() { return QColor(255, 149, 0); }
QColor failureColor() { return QColor(255, 59, 48); }

double contrastRatio(const QColor& first, const QColor& second) {
    const double a = luminance(first), b = luminance(second);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor checkStateColor(CheckState state) {
    switch (state) {
    case CheckState::pass: return readyColor();
    case CheckState::warn: return warningColor();
    case CheckState::fail: break;
    }
    return failureColor();
}

// ---- Small widgets -----------------------------------------------------------

Dot::Dot(QWidget* parent) : QWidget(parent) { setFixedSize(dotDiameter, dotDiameter); }

void Dot::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    update();
}

void Dot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color_);
    painter.drawEllipse(QRectF(rect()));
}

namespace {
constexpr int busySpokes = 12;
constexpr int busyStepMilliseconds = 80;
} // namespace

BusyIndicator::BusyIndicator(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
    const int side = int(std::lround(busyIndicatorRegularSize * busyIndicatorScale));
    setFixedSize(side, side);
    timer_->setInterval(busyStepMilliseconds);
    connect(timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % busySpokes;
        update();
    });
}

void BusyIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double radius = width() / 2.0;
    painter.translate(radius, radius);
    QColor color = palette().color(QPalette::WindowText);
    QPen pen(color, std::max(1.5, radius / 5.5), Qt::SolidLine, Qt::RoundCap);
    for (int spoke = 0; spoke < busySpokes; ++spoke) {
        // The leading spoke is darkest; the ones behind it fade out.
        const int age = (step_ - spoke + busySpokes) % busySpokes;
        color.setAlphaF(float(0.85 - 0.65 * age / (busySpokes - 1)));
        pen.setColor(color);
        painter.setPen(pen);
        painter.save();
        painter.rotate(360.0 * spoke / busySpokes);
        painter.drawLine(QPointF(0, -radius * 0.5), QPointF(0, -radius * 0.85));
        painter.restore();
    }
}

void BusyIndicator::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    timer_->start();
}

void BusyIndicator::hideEvent(QHideEvent* event) {
    timer_->stop();
    QWidget::hideEvent(event);
}

RoundedPanel::RoundedPanel(QPalette::ColorRole background, QWidget* parent)
    : QWidget(parent), background_(background) {}

void RoundedPanel::paintEvent(QPaintEvent*) { paintPanel(this, rect(), background_); }

// ---- The content -------------------------------------------------------------

ContentView::ContentView(std::shared_ptr<DiagnosticsViewModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)) {
    QAccessible::installFactory(sectionAccessible);
    setObjectName(QStringLiteral("contentView"));
    const QFont body = font();

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(columnPadding, columnPadding, columnPadding, columnPadding);
    column->setSpacing(columnSpacing);

    // Header.
    auto* header = new QVBoxLayout;
    header->setSpacing(headerSpacing);
    auto* title = plainLabel(this, "title", titleFont());
    title->setText(qs(applicationName));
    auto* description = plainLabel(this, "description", body);
    description->setText(qs(descriptionText));
    description->setWordWrap(true);
    makeSecondary(description);
    header->addWidget(title);
    header->addWidget(description);
    column->addLayout(header);

    // Status bar.
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
    statusText_ = plainLabel<WrappingLabel>(statusBox, "statusText", calloutFont(body));
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
    column->addWidget(statusBox);

    // Checklist: one row per check, made by renderChecks.
    auto* checksBox = new QWidget(this);
    checksBox->setObjectName(QStringLiteral("checks"));
    setAccessibleRole(checksBox, QAccessible::List);
    checks_ = new QVBoxLayout(checksBox);
    checks_->setContentsMargins(0, 0, 0, 0);
    checks_->setSpacing(checkRowSpacing);
    column->addWidget(checksBox);

    // Device picker.
    auto* pickerRow = new QHBoxLayout;
    // The style's own spacing between a label and its drop-down.
    int pickerSpacing = style()->combinedLayoutSpacing(QSizePolicy::Label, QSizePolicy::ComboBox, Qt::Horizontal, nullptr, this);
    if (pickerSpacing < 0) pickerSpacing = style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing, nullptr, this);
    pickerRow->setSpacing(pickerSpacing);
    auto* deviceLabel = plainLabel(this, "deviceLabel", body);
    deviceLabel->setText(qs(deviceLabelText));
    auto* picker = new DevicePicker(this);
    picker->closed = [this] { scheduleRender(); };
    devicePicker_ = picker;
    devicePicker_->setObjectName(QStringLiteral("devicePicker"));
    devicePicker_->setAccessibleName(qs(deviceLabelText));
    devicePicker_->setMaximumWidth(pickerMaximumWidth);
    devicePicker_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    deviceLabel->setBuddy(devicePicker_);
    pickerRow->addWidget(deviceLabel, 0, Qt::AlignVCenter);
    pickerRow->addWidget(devicePicker_, 0, Qt::AlignVCenter);
    pickerRow->addStretch(1);
    column->addLayout(pickerRow);
    // Only a choice of the user's writes back; refilling the list does not.
    connect(devicePicker_, &QComboBox::activated, this, &ContentView::deviceChosen);

    // Actions.
    auto* actions = new QHBoxLayout;
    actions->setSpacing(buttonSpacing);
    refreshButton_ = pushButton(this, "refreshButton", refreshText);
    startMirrorButton_ = pushButton(this, "startMirrorButton", startMirrorText);
    lingguangMirrorButton_ = pushButton(this, "lingguangMirrorButton", lingguangMirrorText);
    auto* copyButton = pushButton(this, "copyInstallButton", copyInstallText);
    auto* openLogButton = pushButton(this, "openLogButton", openLogText);
    for (QPushButton* button : {refreshButton_, startMirrorButton_, lingguangMirrorButton_, copyButton, openLogButton})
        actions->addWidget(button, 0, Qt::AlignVCenter);
    actions->addStretch(1);
    column->addLayout(actions);
    // Each operation returns at once; its outcome arrives through the model.
    connect(refreshButton_, &QPushButton::clicked, this, &ContentView::refreshClicked);
    connect(startMirrorButton_, &QPushButton::clicked, this, [this] { mirrorClicked(false); });
    connect(lingguangMirrorButton_, &QPushButton::clicked, this, [this] { mirrorClicked(true); });
    connect(copyButton, &QPushButton::clicked, this, &ContentView::copyInstallCommand);
    connect(openLogButton, &QPushButton::clicked, this, [this] { model_->openLog(); });

    // Log pane.
    auto* logView = new QVBoxLayout;
    logView->setSpacing(logSpacing);
    errorLine_ = plainLabel<WrappingLabel>(this, "errorLine", body);
    setAccessibleRole(errorLine_, QAccessible::AlertMessage);
    QPalette errorPalette = errorLine_->palette();
    errorPalette.setColor(QPalette::WindowText, failureColor());
    errorLine_->setPalette(errorPalette);
    errorLine_->hide();
    auto* logTitle = plainLabel(this, "logTitle", headlineFont(body));
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
    logText_->setFont(captionMonospacedFont(body));
    logText_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    logText_->document()->setDocumentMargin(logPadding);
    // Tabs (adb separates its columns with them) at every eighth column, as
    // in a terminal.
    logText_->setTabStopDistance(tabColumns * QFontMetricsF(logText_->font()).horizontalAdvance(QLatin1Char(' ')));
    logText_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The box paints the background with its rounded corners.
    logText_->setAutoFillBackground(false);
    logText_->viewport()->setAutoFillBackground(false);
    logView->addWidget(errorLine_);
    logView->addWidget(logTitle);
    logView->addWidget(logText_);
    column->addLayout(logView);
    // Given more height than it needs, the column keeps its natural height.
    column->addStretch(1);

    // Tab goes through the controls in the order they are seen.
    const QList<QWidget*> tabOrder{devicePicker_, refreshButton_, startMirrorButton_, lingguangMirrorButton_,
                                   copyButton, openLogButton, logText_};
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
    const QColor text = colours.color(QPalette::Text), base = colours.color(QPalette::Base);
    const QColor handle = dimmed(text, base, controlContrast, handleDimming);
    const QString style = QString::fromLatin1(logScrollBarStyle)
                              .arg(handle.name(), dimmed(text, base, controlContrast, handleDimming / 2).name());
    if (logText_->verticalScrollBar()->styleSheet() != style) logText_->verticalScrollBar()->setStyleSheet(style);
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
        auto* detail = plainLabel(row, checkDetailName, calloutFont(body));
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

// The model sets its busy flag before the click returns; drawn at once, the
// flag disables the buttons before the next click of a burst (a double click
// on a slow machine, an accessibility client) is delivered.
void ContentView::refreshClicked() {
    parkFocus(refreshButton_);
    model_->refresh();
    render();
}

void ContentView::mirrorClicked(bool openLingguang) {
    parkFocus(openLingguang ? lingguangMirrorButton_ : startMirrorButton_);
    model_->startMirror(openLingguang);
    render();
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

// ---- The window --------------------------------------------------------------


KelvaneWindow::KelvaneWindow(std::shared_ptr<DiagnosticsViewModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)) {
    QAccessible::installFactory(sectionAccessible);
    setObjectName(QStringLiteral("kelvaneWindow"));
    // A window named by its title, not a filler.
    setAccessibleRole(this, QAccessible::Window);
    setWindowTitle(qs(applicationName));
    // The frame holds the content at the minimum size or more, centred in
    // any extra height; the scroll area around it scrolls only where the
    // screen cannot hold the frame.
    auto* scrolled = new QScrollArea(this);
    scrolled->setObjectName(QStringLiteral("scrolledContent"));
    scrolled->setFrameShape(QFrame::NoFrame);
    scrolled->setWidgetResizable(true);
    scrolled->setBackgroundRole(QPalette::Window);
    // Not a stop of Tab: the controls inside are.
    scrolled->setFocusPolicy(Qt::NoFocus);
    frame_ = new QWidget(scrolled);
    content_ = new ContentView(model_, frame_);
    auto* struts = new QHBoxLayout(frame_);
    struts->setContentsMargins(0, 0, 0, 0);
    struts->setSpacing(0);
    struts->addStrut(minimumWindowHeight);
    auto* centred = new QVBoxLayout;
    centred->setSpacing(0);
    centred->addStrut(minimumWindowWidth);
    centred->addStretch(1);
    centred->addWidget(content_);
    centred->addStretch(1);
    struts->addLayout(centred);
    scrolled->setWidget(frame_);
    auto* whole = new QVBoxLayout(this);
    whole->setContentsMargins(0, 0, 0, 0);
    whole->addWidget(scrolled);
    // The window's minimum follows what the content needs, within the screen.
    connect(content_, &ContentView::neededHeightChanged, this, &KelvaneWindow::fitTheScreen, Qt::QueuedConnection);
    // Opened as tall as the content will be once the first pass has filled
    // in the checklist: the window then does not grow, and lay out and draw
    // everything again, just after it has appeared.
    resize(minimumWindowWidth, std::max(minimumWindowHeight, content_->heightWithFullChecklist(minimumWindowWidth)));
    fitTheScreen();
}

void KelvaneWindow::fitTheScreen() {
    QSize needed = frame_->minimumSizeHint().expandedTo(QSize(minimumWindowWidth, minimumWindowHeight));
    QSize room = needed;
    if (const QScreen* display = screen()) {
        // What the screen leaves for the window's inside, its frame (the
        // window manager's title bar and borders) taken off.
        const QSize decoration = frameGeometry().size() - geometry().size();
        room = display->availableGeometry().size() - decoration.expandedTo(QSize(0, 0));
    }
    // Where the content scrolls, its scroll bar is added beside it.
    if (needed.height() > room.height()) needed.rwidth() += style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    const QSize least = needed.boundedTo(room);
    if (minimumSize() != least) setMinimumSize(least);
    // Grown to what the content needs, and never beyond the screen.
    const QSize wanted = size().expandedTo(least).boundedTo(room.expandedTo(least));
    if (wanted != size()) resize(wanted);
}

void KelvaneWindow::reopen() {
    if (isVisible()) return;
    show();
    raise();
    activateWindow();
}

void KelvaneWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The screen is known now, and followed when the window moves to another.
    fitTheScreen();
    if (windowHandle()) {
        connect(windowHandle(), &QWindow::screenChanged, this, &KelvaneWindow::fitTheScreen, Qt::UniqueConnection);
    }
    if (event->spontaneous()) return;
    // A check already under way (the one the application starts with the
    // window) is the one this showing asks for.
    if (!model_->isRefreshing()) model_->refresh();
    model_->followDevices(true);
}

void KelvaneWindow::closeEvent(QCloseEvent* event) {
    model_->followDevices(false);
    QWidget::closeEvent(event);
}

} // namespace kelvane
