// Diagnostics: finding the tools, reading adb's device list, judging the
// checklist, and the diagnostics pass that puts it all together.
#pragma once

#include "Models.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

// Where Kelvane looks for its tools and writes its activity log. Fixed for
// users; tests hand in their own.
struct Places {
    // The application bundle's root (X.app), or the directory that holds a
    // bare executable. The bundled adb lies below it.
    std::string bundleRoot;
    // The adb candidates that follow the bundled copy, in order.
    std::vector<std::string> adbCandidates;
    // The scrcpy candidates, in order.
    std::vector<std::string> scrcpyCandidates;
    // The activity log.
    std::string logPath;

    // This installation's places.
    static Places standard();
};

namespace DiagnosticsService {

// ---- The outside tools: command lines and time limits --------------------

inline constexpr std::string_view lingguangPackage = "com.antgroup.leopard.android";
inline constexpr std::string_view launcherCategory = "android.intent.category.LAUNCHER";
// Where the bundled adb lies below the bundle root.
inline constexpr std::string_view bundledADBRelativePath = KELVANE_BUNDLED_ADB_RELATIVE_PATH;
// A path holding this is the bundled adb, whatever step found it.
inline constexpr std::string_view bundledADBMarker = ".app/" KELVANE_BUNDLED_ADB_RELATIVE_PATH;

// Time limit of every adb command of a diagnostics pass, in seconds.
inline constexpr double diagnosticsCommandTimeout = 12.0;
// Time limit of the command that brings Lingguang to the front, in seconds.
inline constexpr double lingguangLaunchTimeout = 8.0;

std::vector<std::string> startServerArguments();
std::vector<std::string> devicesArguments();
std::vector<std::string> packageQueryArguments(const std::string& serial);
std::vector<std::string> lingguangLaunchArguments(const std::string& serial);
std::vector<std::string> scrcpyArguments(const std::string& serial);

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

// The adb to use: the bundled copy, then the fixed places.
std::optional<std::string> findADBPath();
std::optional<std::string> findADBPath(const Places& places);

// "Missing", "Bundled adb" or "System adb".
std::string adbSourceLabel(const std::optional<std::string>& adbPath);

// ---- Judging -------------------------------------------------------------

// The devices of `adb devices` output: the lines after adb's heading "List
// of devices attached" (trailing blanks, tabs and carriage returns allowed),
// each with two or more blank- or tab-separated fields giving one device
// (serial, state). Without a heading there are no devices: what adb printed
// instead, such as the notices of a server that failed to start, is no phone.
// A heading line is never a device. Lines end at line feeds; empty lines do
// not count.
std::vector<AndroidDevice> parseDevices(std::string_view output);

// The four checklist rows for `snapshot`.
std::vector<CheckItem> makeChecks(const DiagnosticsSnapshot& snapshot);

// Whether a mirror could start: both tools found and at least one
// authorized device.
bool canStartMirror(const DiagnosticsSnapshot& snapshot);

// ---- The pass ------------------------------------------------------------

// One complete diagnostics pass. Runs up to three outside commands one after
// another and blocks until they are done. A command that ignores its time
// limit is killed CommandRunner::killGraceSeconds after it, so a pass blocks
// at most three times (diagnosticsCommandTimeout + killGraceSeconds): call it
// off the UI thread. Never fails.
DiagnosticsSnapshot buildSnapshot();
DiagnosticsSnapshot buildSnapshot(const Places& places);

} // namespace DiagnosticsService
} // namespace kelvane
