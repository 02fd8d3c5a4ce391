// The window's parts: sizes, fonts, small widgets, colours and what screen
// readers are told, shared by the content and the window.
#pragma once

#include "Models.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QColor>
#include <QComboBox>
#include <QFontMetricsF>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QTextLayout>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

class QTimer;

namespace kelvane {

// The colours of the status and checklist dots and of the error line.
QColor readyColor();   // green
QColor warningColor(); // orange
QColor failureColor(); // red
QColor checkStateColor(CheckState state);

// WCAG's contrast ratio of two colours, from 1 (the same) to 21.
double contrastRatio(const QColor& first, const QColor& second);

// A filled circle of a fixed diameter.
class Dot : public QWidget {
    Q_OBJECT
public:
    explicit Dot(QWidget* parent = nullptr);
    QColor color() const { return color_; }
    void setColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};

// An indeterminate, spinning progress indicator.
class BusyIndicator : public QWidget {
    Q_OBJECT
public:
    explicit BusyIndicator(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer* timer_;
    int step_ = 0;
};

// A box with rounded corners filled with one palette colour.
class RoundedPanel : public QWidget {
    Q_OBJECT
public:
    explicit RoundedPanel(QPalette::ColorRole background, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPalette::ColorRole background_;
};

} // namespace kelvane

namespace kelvane::parts {

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

// The body font and sizes relative to it: a title, bold headlines, the
// callout size for details and a fixed-width caption for the transcript.
QFont titleFont();
QFont headlineFont(const QFont& body);
QFont calloutFont(const QFont& body);
QFont captionMonospacedFont(const QFont& body);

QString qs(std::string_view text);

template <typename Label = QLabel>
Label* plainLabel(QWidget* parent, const char* name, const QFont& font) {
    auto* label = new Label(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    return label;
}

// Marks `widget` as dimmed text on `background`: ContentView colours it
// from the palette, also when the palette changes (dark mode).
inline constexpr const char* secondaryOnProperty = "kelvaneSecondaryOn";
inline void makeSecondary(QWidget* widget, QPalette::ColorRole background = QPalette::Window) {
    widget->setProperty(secondaryOnProperty, int(background));
}

// `text` dimmed toward `background` as far as `deepest` goes while it keeps
// a contrast of `ratio` against it.
QColor dimmed(const QColor& text, const QColor& background, double ratio, double deepest);

// WCAG's least contrasts: body text, and the parts of a control.
inline constexpr double textContrast = 4.5;
inline constexpr double controlContrast = 3.0;
// How far secondary text and the scroll handle are dimmed at most.
inline constexpr double secondaryDimming = 0.45;
inline constexpr double handleDimming = 0.6;

// A label that works out its height for a width once for each text, font
// and width. The window's layouts ask again and again (over a hundred times
// for the checklist's details as the window first appears), and a wrapped
// label lays its whole text out for each answer, a selectable one twice.
class MeasuredLabel : public QLabel {
public:
    using QLabel::QLabel;
    int heightForWidth(int width) const final;

protected:
    // The height the text takes at `width`, worked out anew.
    virtual int measuredHeight(int width) const { return QLabel::heightForWidth(width); }
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // What the heights depend on, besides the width.
    struct Shape {
        QString text;
        QFont font;
        bool wraps = false;
        int margin = 0;
        int indent = 0;
        Qt::Alignment alignment;
        QMargins contents;
        bool operator==(const Shape&) const = default;
    };
    Shape shape() const;
    mutable Shape measured_;
    // (width, height), the most recently asked last.
    mutable std::vector<std::pair<int, int>> heights_;
};

// A label whose text wraps at word boundaries and, where one word is longer
// than the line, anywhere inside it: no text makes it, or the window, wider.
// Plain text, drawn as a plain QLabel draws it.
class WrappingLabel : public MeasuredLabel {
public:
    using MeasuredLabel::MeasuredLabel;

    // One line per line of the text, as long as it is.
    QSize sizeHint() const override {
        QTextLayout layout;
        return layOut(layout, unbounded).grownBy(contentsMargins());
    }
    QSize minimumSizeHint() const override { return QSize(0, sizeHint().height()); }
    bool hasHeightForWidth() const override { return true; }

protected:
    int measuredHeight(int width) const override {
        const QMargins margins = contentsMargins();
        QTextLayout layout;
        return layOut(layout, width - margins.left() - margins.right()).height() + margins.top() + margins.bottom();
    }
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
void setTextIfChanged(QLabel* label, const QString& text);

// The device picker. While its pop-up is open its entries keep still, so
// that a click goes to the phone the pointer is on; what changed meanwhile
// is shown once the pop-up closes.
class DevicePicker : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> closed;
    // Asked without making the pop-up (Qt makes it when first needed, and
    // making it lays the picker out and draws it again).
    bool isOpen() const { return opened_ && view()->isVisible(); }

    // As wide as its longest entry, whenever the entries change. (Qt's own
    // "adjust to contents" makes the pop-up and its list at once, and
    // draws the picker again a moment after every change.)
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    void showPopup() override {
        opened_ = true;
        QComboBox::showPopup();
    }
    void hidePopup() override {
        QComboBox::hidePopup();
        if (closed) closed();
    }

private:
    bool opened_ = false;
};

// A push button named `name` with `text`, never a default button, with room
// around its label.
QPushButton* pushButton(QWidget* parent, const char* name, std::string_view text);

// Redoes every pending layout in `top` and below it, innermost first.
void layOutNow(QWidget* top);

// Child widgets of one checklist row.
inline constexpr const char* checkDotName = "checkDot";
inline constexpr const char* checkTitleName = "checkTitle";
inline constexpr const char* checkDetailName = "checkDetail";

// The box behind the status line and the log: a rounded rectangle.
void paintPanel(QWidget* widget, const QRect& area, QPalette::ColorRole background);

// The role a screen reader is told for one of the window's sections, where
// Qt's own would be a silent filler; the factory that tells it (installed
// by every window: Qt ignores a second time).
void setAccessibleRole(QWidget* widget, QAccessible::Role role);
QAccessibleInterface* sectionAccessible(const QString& key, QObject* object);

// Asks screen readers to speak `message` at once (an alert: even
// interrupting), coming from `source`. Qt before 6.8 has no such request.
void announce(QWidget* source, const QString& message, bool alert);

// "passed", "warning" or "failed".
QString checkStateWord(CheckState state);

} // namespace kelvane::parts
