// The application's window: a function of the diagnostics model, drawn with
// Qt Widgets. Every widget is set from the model's current values on each
// (coalesced) redraw. Besides what its widgets show, the view remembers only
// what a redraw cannot read from the model: whether a redraw is pending,
// which pressed button gets the keyboard focus back when it is enabled again,
// the log text last set (the "shownText" property of the log box), so that
// an unchanged log keeps its selection, and, where Qt can announce (6.8 and
// later), whether the model has set the status since the last redraw, so
// that screen readers hear it again even in the same words.
#pragma once

#include "DiagnosticsViewModel.h"
#include "WindowParts.h"
#include "WirelessDialog.h"

#include <QColor>
#include <QElapsedTimer>
#include <QPalette>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <string_view>

class QComboBox;
class QLayout;
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

signals:
    // The height the content needs at its width has changed: a text wraps
    // into more or fewer lines.
    void neededHeightChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // The sections, top to bottom.
    QLayout* makeHeader();
    QWidget* makeStatusBar();
    QWidget* makeChecklist();
    QLayout* makePicker();
    QLayout* makeActions();
    QLayout* makeLogPane();
    // Holds the content at least as tall as its wrapped texts need at its
    // width: layouts would squeeze a wrapped label below that.
    void keepNeededHeight();
    // Colours dimmed texts and the log's scroll handle from the palette,
    // dimmed only as far as they stay readable against their background.
    void applyPalette();
    void scheduleRender();
    void renderStatus(const QString& status, bool ready, bool errorAlerted);
    bool renderError();
    void renderChecks(const std::vector<CheckItem>& checks);
    void setCheckRows(const std::vector<CheckItem>& checks);
    void renderPicker(const DiagnosticsSnapshot& snapshot);
    void renderLog(const DiagnosticsSnapshot& snapshot);
    bool takesClick(QPushButton* button);
    void refreshClicked();
    void mirrorClicked(bool openLingguang);
    void parkFocus(QPushButton* pressed);
    void returnFocus();
    void copyInstallCommand();
    void deviceChosen(int index);

    std::shared_ptr<DiagnosticsViewModel> model_;
    bool renderPending_ = false;
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // Set by the model since the last redraw: the status text.
    bool statusSet_ = false;
#endif
    // The pressed button that gets the keyboard focus back once enabled.
    QPointer<QPushButton> focusReturn_;
    // The operation's button whose click was taken last, and when.
    QPushButton* lastClicked_ = nullptr;
    QElapsedTimer lastClick_;

    QWidget* statusBar_;
    Dot* statusDot_;
    QLabel* statusText_;
    BusyIndicator* busyIndicator_;
    QVBoxLayout* checks_;
    QComboBox* devicePicker_;
    QPushButton* refreshButton_;
    QPushButton* startMirrorButton_;
    QPushButton* lingguangMirrorButton_;
    QPushButton* copyButton_;
    QPushButton* openLogButton_;
    QPushButton* wirelessButton_;
    // Made when first asked for.
    QPointer<WirelessDialog> wirelessDialog_;
    QLabel* errorLine_;
    QPlainTextEdit* logText_;

    // Declared last: ends before anything it could reach is torn down.
    DiagnosticsViewModel::Subscription subscription_;
};

// The application's one window: the content in a frame of at least the
// minimum size, centred in any extra height; on a screen too small for it,
// the window fits the screen and the content scrolls inside. Every
// programmatic showing (not a spontaneous one such as un-minimising) starts
// a refresh, unless one is under way; while the window is open, the model
// follows the phone.
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
    // The window's minimum: what the content needs, but never more than the
    // screen has room for.
    void fitTheScreen();

    std::shared_ptr<DiagnosticsViewModel> model_;
    ContentView* content_;
    QWidget* frame_;
    bool shownBefore_ = false;
};

} // namespace kelvane
