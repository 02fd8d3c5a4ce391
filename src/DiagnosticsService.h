// The diagnostics pass, which puts the tools' places, adb's output and the
// checklist together; this header also brings the faces of those units.
#pragma once

#include "ADBOutput.h"
#include "ADBServer.h"
#include "Checklist.h"
#include "CommandRunner.h"
#include "MirrorEnd.h"
#include "Models.h"
#include "OutsideTools.h"
#include "Places.h"
#include "ToolDiscovery.h"
#include "USBBus.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

namespace DiagnosticsService {

// ---- The pass ------------------------------------------------------------

// The most authorized phones one pass asks about Lingguang: the rest count
// as without it. A bound, so that a pass has a longest time.
inline constexpr int maxAskedDevices = 8;
// The longest a pass can take: adb start-server (or, in a pass that follows
// the phone, adb version and a question to adb's server), adb devices and
// one package query for each phone asked, each ending at the latest the
// kill grace after its time limit.
inline constexpr double longestPassSeconds =
    (2 + maxAskedDevices) * (diagnosticsCommandTimeout + CommandRunner::killGraceSeconds) + ADBServer::answerTimeout;

// What a pass may do to adb's server, and when it ends early.
struct PassOptions {
    // Whether the pass begins with adb start-server, which starts adb's
    // server where none runs and replaces one of another version: only a
    // pass the user asked for (Refresh, the window opening). Otherwise the
    // pass is a guest: it runs adb's commands only while a server of this
    // adb's own version answers at places.adbServer, and is abandoned when
    // none does.
    bool startServer = true;
    // Once requested, the pass ends the command under way and is abandoned.
    const CommandRunner::StopSignal* stop = nullptr;
    // Told, on the pass's thread, about once a second while a command has
    // run for waitToldAfter seconds or more: the command as the transcript
    // shows it ("adb devices") and the whole seconds it may still take.
    std::function<void(const std::string& command, int secondsLeft)> waiting;
};

// How long a command runs before the wait for it is told.
inline constexpr double waitToldAfter = 2.0;

// One complete diagnostics pass: adb start-server, adb devices, then the
// Lingguang query for each authorized phone, one command after another;
// when adb lists no phone, the USB bus is read; when adb does not answer or
// its server cannot start, the program holding its port is looked for.
// Blocks until they are done: call it off the UI thread. A command that
// ignores its time limit is killed CommandRunner::killGraceSeconds after
// it, but a child the kernel does not let die (an adb stuck in a USB call)
// can hold the pass for longer. Nothing, and nothing logged, when the pass
// is abandoned; otherwise it never fails.
std::optional<DiagnosticsSnapshot> runPass(const Places& places, const PassOptions& options);
// A pass the user asked for.
DiagnosticsSnapshot buildSnapshot(const Places& places);

} // namespace DiagnosticsService
} // namespace kelvane
