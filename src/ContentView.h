// The application's window: a function of the diagnostics model, drawn with
// Qt Widgets. Every widget is set from the model's current values on each
// (coalesced) redraw. Besides what its widgets show, the view remembers only
// what a redraw cannot read from the model: whether a redraw is pending, which
// operations a click has asked for that the model has not yet begun (their
// buttons stay disabled meanwhile), which pressed button gets the keyboard
// focus back when it is enabled again, and whether the model has set the
// status or the error text since the last redraw (so that screen readers
// hear it again, even when the words are the same).
#pragma once

#include "DiagnosticsViewModel.h"

#include <QColor>
#include <QPalette>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <string_view>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace kelvane {

// The application's name, also the window's title and the header's title.
inline constexpr std::string_view applicationName = "Kelvane";

// What Copy Install Command puts on the clipboard: the command line that
// installs both outside tools with this platform's package manager.
#ifdef Q_OS_MACOS
inline constexpr std::string_view installCommand = "brew install android-platform-tools scrcpy";
#else
inline constexpr std::string_view installCommand = "sudo apt install adb scrcpy";
#endif

// The window's smallest size, in device-independent pixels.
inline constexpr int minimumWindowWidth = 760;
inline constexpr int minimumWindowHeight = 520;

// The colours of the status and checklist dots and of the error line.
QColor readyColor();   // green
QColor warningColor(); // orange
QColor failureColor(); // red
QColor checkStateColor(CheckState state);

// Runs tasks on the thread of the Qt event loop, in posting order. Safe to
// call from any thread. Tasks posted once the application is quitting or
// gone are dropped. Needs a QCoreApplication.
Executor qtUIThread();

// `services` with the window toolkit's parts filled in where they are
// missing: the UI-thread poster above and the desktop's file opener.
ViewModelServices withQtServices(ViewModelServices services = {});

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

// The main window's content: header, status bar, checklist, device picker,
// actions and log pane, in one column.
class ContentView : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(std::shared_ptr<DiagnosticsViewModel> model, QWidget* parent = nullptr);

    // Sets every widget from the model's current values, now.
    void render();

    // The height the content needs at `width` once a pass has filled in the
    // checklist (with the texts of a pass that found nothing, the longest).
    int heightWithFullChecklist(int width);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void scheduleRender();
    void renderStatus(const QString& status, bool ready, bool errorAnnounced);
    bool renderError();
    void renderChecks(const std::vector<CheckItem>& checks);
    void setCheckRows(const std::vector<CheckItem>& checks);
    void renderPicker(const DiagnosticsSnapshot& snapshot);
    void renderLog(const DiagnosticsSnapshot& snapshot);
    void refreshClicked();
    void mirrorClicked(bool openLingguang);
    void parkFocus(QPushButton* pressed);
    void returnFocus();
    void copyInstallCommand();
    void deviceChosen(int index);

    std::shared_ptr<DiagnosticsViewModel> model_;
    bool renderPending_ = false;
    // Clicked, and not yet begun by the model: a refresh, a mirror start.
    bool refreshAsked_ = false;
    bool mirrorAsked_ = false;
    // Set by the model since the last redraw: the status text, the error.
    bool statusSet_ = false;
    bool errorSet_ = false;
    // The pressed button that gets the keyboard focus back once enabled.
    QPointer<QPushButton> focusReturn_;

    QWidget* statusBar_;
    Dot* statusDot_;
    QLabel* statusText_;
    BusyIndicator* busyIndicator_;
    QVBoxLayout* checks_;
    QComboBox* devicePicker_;
    QPushButton* refreshButton_;
    QPushButton* startMirrorButton_;
    QPushButton* lingguangMirrorButton_;
    QLabel* errorLine_;
    QPlainTextEdit* logText_;

    // Declared last: ends before anything it could reach is torn down.
    DiagnosticsViewModel::Subscription subscription_;
};

// The application's one window: the content in a frame of at least the
// minimum size, centred in any extra height. Every programmatic showing (not
// a spontaneous one such as un-minimising) starts a refresh; while the
// window is open, the model follows the phone.
class KelvaneWindow : public QWidget {
    Q_OBJECT
public:
    explicit KelvaneWindow(std::shared_ptr<DiagnosticsViewModel> model, QWidget* parent = nullptr);

    ContentView* content() const { return content_; }

    // Shows the window again after it was closed; does nothing while it is
    // shown.
    void reopen();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::shared_ptr<DiagnosticsViewModel> model_;
    ContentView* content_;
};

} // namespace kelvane
