// The application's one window: the content, held at the minimum size or
// more and centred, scrolling inside where the screen is too small.
#include "ContentView.h"

#include "WindowParts.h"

#include <QHBoxLayout>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <chrono>

namespace kelvane {

using namespace parts;

namespace {

// How long after showing the window begins following the phone. The
// follower's first command (adb's version) would otherwise take the
// processor from the window's first picture; the check this showing
// started has seen the phone, and the follower's first list tells of any
// change since.
constexpr std::chrono::milliseconds followingStartsAfter{250};

} // namespace

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
    // A check already under way is the one this showing asks for; so is the
    // one the application started for the window, ended before it was first
    // shown.
    const bool checkedForThisShowing = !shownBefore_ && !model_->snapshot().checks.empty();
    shownBefore_ = true;
    if (!model_->isRefreshing() && !checkedForThisShowing) model_->refresh();
    QTimer::singleShot(followingStartsAfter, this, [this] {
        // Closed meanwhile: nothing to follow for.
        if (isVisible()) model_->followDevices(true);
    });
}

void KelvaneWindow::closeEvent(QCloseEvent* event) {
    model_->followDevices(false);
    QWidget::closeEvent(event);
}

} // namespace kelvane
