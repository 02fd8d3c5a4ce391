// Diagnostics: finding the tools, reading adb's device list, judging the
// checklist, and the diagnostics pass that puts it all together.
#pragma once

#include "ADBOutput.h"
#include "ADBServer.h"
#include "CommandRunner.h"
#include "MirrorEnd.h"
#include "Models.h"
#include "OutsideTools.h"
#include "Places.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

namespace DiagnosticsService {

// ---- Tool discovery ------------------------------------------------------

// The directory that stands for the running application's bundle.
std::string runningBundleRoot();
// The bundle root for the executable at `path`: X.app for X.app/Contents/MacOS/exe,
// otherwise the directory that holds the executable; empty for a path
// without a directory.
std::string bundleRootForExecutable(std::string_view path);

// The first candidate that exists and may be executed by this user (links
// followed), exactly as given; nothing when none passes.
std::optional<std::string> firstExecutable(const std::vector<std::string>& candidates);

// The adb to use: the bundled copy, then the fixed places, then the search
// path's (Linux).
std::optional<std::string> findADBPath();
std::optional<std::string> findADBPath(const Places& places);

// "Missing", "Bundled adb" or "System adb".
std::string adbSourceLabel(const std::optional<std::string>& adbPath);
// The same, or "adb on PATH" for one that only the search path of
// `places` holds.
std::string adbSourceLabel(const std::optional<std::string>& adbPath, const Places& places);

// ---- Judging -------------------------------------------------------------

// The four checklist rows for `snapshot`.
std::vector<CheckItem> makeChecks(const DiagnosticsSnapshot& snapshot);

// Whether a mirror could start: both tools found and at least one
// authorized device.
bool canStartMirror(const DiagnosticsSnapshot& snapshot);

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
DiagnosticsSnapshot buildSnapshot();
DiagnosticsSnapshot buildSnapshot(const Places& places);

// `snapshot` with its Lingguang finding and checklist judged for the device
// `serial` (none: the snapshot's own choice) instead of the pass's choice.
DiagnosticsSnapshot judgedFor(DiagnosticsSnapshot snapshot, const std::optional<std::string>& serial);

// `snapshot` as it stands once a server of adb's `version`, not this adb's
// `ownVersion`, holds adb's port (held by `holder`, where known): its ADB
// row warns of the two versions.
DiagnosticsSnapshot withOtherServer(DiagnosticsSnapshot snapshot, int version, int ownVersion,
                                    std::optional<PortHolder> holder);

// What the USB bus below `devicesDir` (laid out as Linux's
// /sys/bus/usb/devices) shows of phones. Plain file reads; anything that
// cannot be read counts as nothing found.
USBFinding readUSBBus(const std::string& devicesDir);

} // namespace DiagnosticsService
} // namespace kelvane
