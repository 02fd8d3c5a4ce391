#include "SlimScrollBar.h"

#include "WindowParts.h"

#include <QPainter>
#include <QProxyStyle>
#include <QScrollBar>
#include <QStyleOptionSlider>

#include <algorithm>

namespace kelvane {
namespace {

using namespace parts;

// The bar's width, its track's insets, and its knob.
constexpr int barWidth = 11;
constexpr int insetTop = 6;
constexpr int insetRight = 4;
constexpr int insetBottom = 6;
constexpr int knobRadius = 3;
constexpr int shortestKnob = 24;

// The application's style for everything but the shape of a vertical
// scroll bar, which has no arrow buttons and no painted track. A small
// style of its own rather than a style sheet: a style sheet brings a
// second style engine, its parser and its rule cache into every start
// for one widget.
class SlimScrollBarStyle final : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        if (metric == PM_ScrollBarExtent) return barWidth;
        if (metric == PM_ScrollBarSliderMin) return shortestKnob;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* answer) const override {
        // Always there, in a column of its own beside the text: never laid
        // over it and faded out, as some styles (the Mac's) do with theirs.
        if (hint == SH_ScrollBar_Transient) return 0;
        return QProxyStyle::styleHint(hint, option, widget, answer);
    }

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override {
        const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
        if (control != CC_ScrollBar || !bar || bar->orientation != Qt::Vertical)
            return QProxyStyle::subControlRect(control, option, part, widget);
        const QRect track = option->rect.adjusted(0, insetTop, -insetRight, -insetBottom);
        // As long as the page is of the whole, but never too short to take.
        int length = track.height();
        if (const qint64 range = qint64(bar->maximum) - bar->minimum; range > 0) {
            length = int(qint64(bar->pageStep) * track.height() / (range + bar->pageStep));
            length = std::clamp(length, std::min(shortestKnob, track.height()), track.height());
        }
        const int top = track.top() + sliderPositionFromValue(bar->minimum, bar->maximum, bar->sliderPosition,
                                                              track.height() - length, bar->upsideDown);
        const QRect knob(track.left(), top, track.width(), length);
        switch (part) {
        case SC_ScrollBarGroove: return track;
        case SC_ScrollBarSlider: return knob;
        case SC_ScrollBarSubPage: return {track.left(), track.top(), track.width(), knob.top() - track.top()};
        case SC_ScrollBarAddPage: return {track.left(), knob.bottom() + 1, track.width(), track.bottom() - knob.bottom()};
        default: return {};
        }
    }

    SubControl hitTestComplexControl(ComplexControl control, const QStyleOptionComplex* option, const QPoint& point,
                                     const QWidget* widget) const override {
        if (control != CC_ScrollBar) return QProxyStyle::hitTestComplexControl(control, option, point, widget);
        for (const SubControl part : {SC_ScrollBarSlider, SC_ScrollBarSubPage, SC_ScrollBarAddPage}) {
            if (subControlRect(control, option, part, widget).contains(point)) return part;
        }
        return SC_None;
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override {
        const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
        if (control != CC_ScrollBar || !bar || bar->orientation != Qt::Vertical) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        // Darker under the pointer and while dragged.
        const bool hovered =
            (option->state & (State_MouseOver | State_Sunken)) && (option->activeSubControls & SC_ScrollBarSlider);
        const QPalette& colours = option->palette;
        const QColor knob = dimmed(colours.color(QPalette::Text), colours.color(QPalette::Base), controlContrast,
                                   hovered ? handleDimming / 2 : handleDimming);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(knob);
        painter->drawRoundedRect(subControlRect(control, option, SC_ScrollBarSlider, widget), knobRadius, knobRadius);
        painter->restore();
    }

    void polish(QWidget* widget) override {
        QProxyStyle::polish(widget);
        // Told when the pointer comes and goes, for the darker knob.
        widget->setAttribute(Qt::WA_Hover);
    }
};

} // namespace

void makeSlim(QScrollBar* bar) {
    auto* style = new SlimScrollBarStyle;
    style->setParent(bar);
    bar->setStyle(style);
}

} // namespace kelvane
