// The application shell: the program's entry and what closing its window does.
#pragma once

#include "ContentView.h"

#include <memory>

class QApplication;

namespace kelvane {

// What closing `window`, the application's last window, does. On the Mac the
// application keeps running, and activating it shows the window again. On
// other systems the application ends, but only once no operation of `model`
// is under way: a mirror start still launches scrcpy, and every command a
// pass or start runs has ended (each within its time limit) before the
// process does.
void endWithTheWindow(QApplication& app, KelvaneWindow& window, const std::shared_ptr<DiagnosticsViewModel>& model);

// SIGTERM, SIGINT and SIGHUP end the application as closing the window
// does on Linux: the window closes (which ends following the phone and its
// adb child), and the application ends once no operation of `model` is
// under way.
void endOnTerminationSignals(KelvaneWindow& window, const std::shared_ptr<DiagnosticsViewModel>& model);

// The whole application: one model for the life of the process, one window.
// Gives the exit status.
int runApplication(int argc, char** argv);

} // namespace kelvane
