#include "WindowParts.h"

#include <QAccessibleWidget>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QLayout>
#include <QStyleOptionComboBox>
#include <QTimer>

namespace kelvane {
namespace parts {
namespace {

// Body, callout and caption sizes in the proportions of the desktop's type
// scale (13, 12 and 10 points), but never below a size that stays readable
// where the body font itself is small.
constexpr double calloutScale = 12.0 / 13.0;
constexpr double captionScale = 10.0 / 13.0;
constexpr double smallestReadablePointSize = 8.0;

} // namespace

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

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

// Whether every character of `font` is as wide as every other, measured:
// some fixed-width families (Noto Sans Mono) do not say so of themselves.
bool fixedWidth(const QFont& font) {
    const QFontMetricsF metrics(font);
    return metrics.horizontalAdvance(QLatin1Char('i')) == metrics.horizontalAdvance(QLatin1Char('M'));
}

QFont captionMonospacedFont(const QFont& body) {
    QFont font = sizedFrom(QFontDatabase::systemFont(QFontDatabase::FixedFont), body, captionScale);
    font.setStyleHint(QFont::Monospace);
    if (!fixedWidth(font)) {
        // The system's fixed-width name did not resolve (a font database
        // without aliases): take an installed fixed-width family instead.
        const QStringList families = QFontDatabase::families();
        const auto fixed = std::find_if(families.begin(), families.end(),
                                        [](const QString& family) { return QFontDatabase::isFixedPitch(family); });
        if (fixed != families.end()) font.setFamily(*fixed);
    }
    return font;
}

// `value` (0 to 1) to the power of 2.4: its square times the fifth root of
// its square, by Newton's method. (The C library's pow would bring its
// tables into every start's memory, about 200 KiB, for this one use.)
double powerTwoPointFour(double value) {
    const double square = value * value;
    double root = 1;
    for (int step = 0; step < 60 && square > 0; ++step) {
        const double fourth = root * root * root * root;
        const double next = root - (fourth * root - square) / (5 * fourth);
        if (next == root) break;
        root = next;
    }
    return square * root;
}

// How bright `color` looks: WCAG's relative luminance.
double luminance(const QColor& color) {
    const auto linear = [](double channel) {
        return channel <= 0.03928 ? channel / 12.92 : powerTwoPointFour((channel + 0.055) / 1.055);
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


MeasuredLabel::Shape MeasuredLabel::shape() const {
    return Shape{text(), font(), wordWrap(), margin(), indent(), alignment(), contentsMargins()};
}

int MeasuredLabel::heightForWidth(int width) const {
    constexpr std::size_t rememberedWidths = 6;
    if (Shape now = shape(); !(now == measured_)) {
        measured_ = std::move(now);
        heights_.clear();
    }
    const auto known = std::find_if(heights_.begin(), heights_.end(), [width](const auto& pair) { return pair.first == width; });
    if (known != heights_.end()) return known->second;
    const int height = measuredHeight(width);
    if (heights_.size() == rememberedWidths) heights_.erase(heights_.begin());
    heights_.emplace_back(width, height);
    return height;
}

void MeasuredLabel::changeEvent(QEvent* event) {
    // The style decides the frame around the text.
    if (event->type() == QEvent::StyleChange) heights_.clear();
    QLabel::changeEvent(event);
}

void MeasuredLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    // A selectable label lays its text out anew for its new width when it is
    // next drawn, and then asks to be drawn once more: every first showing
    // and every resize would be drawn twice. Laid out here instead, where the
    // label is not yet shown or is drawn anyway.
    if (textInteractionFlags() != Qt::NoTextInteraction && wordWrap()) QLabel::heightForWidth(width());
}

QSize DevicePicker::sizeHint() const {
    // The room a combo box gives its text, as Qt's own measure does: a few
    // characters' width while empty, a line of text at least as tall as a
    // small icon, and a little more.
    constexpr int emptyWidthInCharacters = 7, smallestLineHeight = 14, extraHeight = 2;
    const QFontMetrics metrics = fontMetrics();
    QSize content(count() == 0 ? emptyWidthInCharacters * metrics.horizontalAdvance(QLatin1Char('x')) : 0,
                  std::max(int(std::ceil(QFontMetricsF(font()).height())), smallestLineHeight) + extraHeight);
    for (int index = 0; index < count(); ++index) {
        content.setWidth(std::max(content.width(), metrics.boundingRect(itemText(index)).width()));
    }
    QStyleOptionComboBox option;
    initStyleOption(&option);
    return style()->sizeFromContents(QStyle::CT_ComboBox, &option, content, this);
}

// Setting an unchanged text would drop the user's selection in it.
void setTextIfChanged(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

QPushButton* pushButton(QWidget* parent, const char* name, std::string_view text) {
    auto* button = new QPushButton(qs(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    // A plain push button: Return and Enter never press it.
    button->setAutoDefault(false);
    button->setDefault(false);
    // Room around the label where the style leaves little.
    const int labelWidth = button->fontMetrics().horizontalAdvance(button->text());
    button->setMinimumWidth(std::max(button->sizeHint().width(), labelWidth + 2 * buttonLabelPadding));
    return button;
}

// Redoes every pending layout in `top` and below it, innermost first.
void layOutNow(QWidget* top) {
    const QList<QWidget*> widgets = top->findChildren<QWidget*>();
    for (auto widget = widgets.crbegin(); widget != widgets.crend(); ++widget) {
        if ((*widget)->window() == top && (*widget)->layout()) (*widget)->layout()->activate();
    }
    if (top->layout()) top->layout()->activate();
}


// The box behind the status line and the log: a rounded rectangle.
void paintPanel(QWidget* widget, const QRect& area, QPalette::ColorRole background) {
    QPainter painter(widget);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(widget->palette().color(background));
    painter.drawRoundedRect(QRectF(area), cornerRadius, cornerRadius);
}

// ---- The accessible side -------------------------------------------------------

namespace {

// Where a section keeps the role a screen reader is told.
constexpr const char* accessibleRoleProperty = "kelvaneAccessibleRole";

} // namespace

void setAccessibleRole(QWidget* widget, QAccessible::Role role) {
    widget->setProperty(accessibleRoleProperty, int(role));
}

namespace {

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

} // namespace

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

namespace {

// A row's state in words, for the ear.
constexpr std::string_view passedWord = "passed";
constexpr std::string_view warningWord = "warning";
constexpr std::string_view failedWord = "failed";

} // namespace

QString checkStateWord(CheckState state) {
    switch (state) {
    case CheckState::pass: return qs(passedWord);
    case CheckState::warn: return qs(warningWord);
    case CheckState::fail: break;
    }
    return qs(failedWord);
}


} // namespace parts

using namespace parts;

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

} // namespace kelvane
