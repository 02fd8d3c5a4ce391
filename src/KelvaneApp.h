// The application shell: the whole application, and how it ends.
#pragma once

#include "ContentView.h"

#include <chrono>
#include <memory>

class QApplication;
class QIcon;

namespace kelvane {

// Runs tasks on the thread of the Qt event loop, in posting order. Safe to
// call from any thread. Tasks posted once the application is quitting or
// gone are dropped. Needs a QCoreApplication.
Executor qtUIThread();

// `services` with the window toolkit's parts filled in where they are
// missing: the UI thread (the poster above, and whether a caller is on it)
// and the desktop's file opener.
ViewModelServices withQtServices(ViewModelServices services = {});

// The application's icon: the packaged picture, built in at the sizes
// desktops ask for.
QIcon applicationIcon();

// How long, once the window has closed, the application waits at most for
// its operations: longer than the longest pass that can run (its adb
// commands, with one package query for each phone it asks, each ending at
// the latest the kill grace after its time limit; see
// DiagnosticsService::longestPassSeconds), with room for the results to
// arrive.
inline constexpr std::chrono::milliseconds quitLimit = std::chrono::ceil<std::chrono::milliseconds>(
    std::chrono::duration<double>(DiagnosticsService::longestPassSeconds) + std::chrono::seconds(5));

// What closing `window`, the application's last window, does. On the Mac the
// application keeps running, and activating it shows the window again. On
// other systems the application ends once no operation of `model` is under
// way, so that a mirror start still launches scrcpy and the commands of a
// pass or start end before the process does; but at the latest after
// `limit`, for a child the kernel does not let die (an adb stuck in a USB
// call) would keep an invisible application alive for good.
void endWithTheWindow(QApplication& app, KelvaneWindow& window, const std::shared_ptr<DiagnosticsViewModel>& model,
                      std::chrono::milliseconds limit = quitLimit);

// SIGTERM, SIGINT and SIGHUP end the application as closing the window
// does on Linux: the window closes (which ends following the phone and its
// adb child), and the application ends once no operation of `model` is
// under way.
void endOnTerminationSignals(KelvaneWindow& window, const std::shared_ptr<DiagnosticsViewModel>& model);

// The whole application: one model for the life of the process, one window;
// or, asked for with --help or --version, a text on standard output and no
// window. Gives the exit status.
int runApplication(int argc, char** argv);

} // namespace kelvane
