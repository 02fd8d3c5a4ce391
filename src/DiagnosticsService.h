// Diagnostics: finding the tools, reading adb's device list, judging the
// checklist, and the diagnostics pass that puts it all together.
#pragma once

#include "CommandRunner.h"
#include "Models.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
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
    // The activity log, shared by every user of the machine.
    std::string logPath;
    // The user's own activity log, which takes the shared one's place when
    // that cannot be used (someone else's file, a link, a directory); empty:
    // none.
    std::string privateLogPath;
    // Linux's list of USB devices and interfaces (/sys/bus/usb/devices),
    // read when adb lists no phone; empty: not read.
    std::string usbDevicesDir;

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
std::vector<std::string> trackDevicesArguments();
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
// A heading line is never a device. Lines end at line feeds, and a carriage
// return right before one ends the line with it; empty lines do not count.
std::vector<AndroidDevice> parseDevices(std::string_view output);

// The four checklist rows for `snapshot`.
std::vector<CheckItem> makeChecks(const DiagnosticsSnapshot& snapshot);

// Whether a mirror could start: both tools found and at least one
// authorized device.
bool canStartMirror(const DiagnosticsSnapshot& snapshot);

// ---- The pass ------------------------------------------------------------

// One complete diagnostics pass: adb start-server, adb devices, then the
// Lingguang query for each authorized phone, one command after another;
// when adb lists no phone, the USB bus is read. Blocks until they are done:
// call it off the UI thread. A command that ignores its time limit is killed
// CommandRunner::killGraceSeconds after it, but a child the kernel does not
// let die (an adb stuck in a USB call) can hold the pass for longer. Never
// fails.
DiagnosticsSnapshot buildSnapshot();
DiagnosticsSnapshot buildSnapshot(const Places& places);

// `snapshot` with its Lingguang finding and checklist judged for the device
// `serial` (none: the snapshot's own choice) instead of the pass's choice.
DiagnosticsSnapshot judgedFor(DiagnosticsSnapshot snapshot, const std::optional<std::string>& serial);

// What the USB bus below `devicesDir` (laid out as Linux's
// /sys/bus/usb/devices) shows of phones. Plain file reads; anything that
// cannot be read counts as nothing found.
USBFinding readUSBBus(const std::string& devicesDir);

// ---- Following adb's device list ----------------------------------------

// The device lists in `stream`, what adb track-devices has printed so far:
// each is four hexadecimal digits of length, then the list (one line per
// device, as adb devices prints them, without the heading). The whole ones
// are taken off the front of `stream`; a partial one stays for the next
// call. A line that cannot begin a list is skipped.
std::vector<std::vector<AndroidDevice>> takeDeviceLists(std::string& stream);

// Follows adb's device list with one long-lived `adb track-devices`, which
// also starts adb's server when none runs. Each list adb sends (at the
// start, and whenever a phone comes, goes or changes its state) goes to the
// listener, on the tracker's own thread. When the child ends without being
// asked (its server was killed, adb replaced), it is started again after a
// pause that doubles from `firstPause` up to `longestPause`; a child that
// has run for `settledAfter` seconds starts the count anew. Nothing is done
// between lists. Destruction ends the child and waits for it.
class DeviceTracker {
public:
    using Listener = std::function<void(std::vector<AndroidDevice>)>;
    struct Pauses {
        double firstPause = 1;
        double longestPause = 30;
        double settledAfter = 60;
    };

    DeviceTracker(std::string adbPath, Listener listener, Pauses pauses);
    DeviceTracker(std::string adbPath, Listener listener) : DeviceTracker(std::move(adbPath), std::move(listener), Pauses{}) {}
    ~DeviceTracker();
    DeviceTracker(const DeviceTracker&) = delete;
    DeviceTracker& operator=(const DeviceTracker&) = delete;

    const std::string& adbPath() const { return adbPath_; }

private:
    void follow();

    const std::string adbPath_;
    const Listener listener_;
    const Pauses pauses_;
    CommandRunner::StopSignal stop_;
    std::thread thread_; // last: starts once everything else is there
};

// ---- A mirror's end ------------------------------------------------------

// What to tell the user when the mirror for `serial` has ended as `end`
// says (scrcpy's status, and the text that reached the activity log from
// its start to its end). Nothing for status 0: the user closed it.
// Otherwise "Mirror for <serial> ended (status <status>): <reason>", where
// the reason is scrcpy's last error line, followed by advice when what was
// printed is a failure Kelvane knows.
std::optional<std::string> mirrorEndReport(const std::string& serial, const CommandResult& end);

} // namespace DiagnosticsService
} // namespace kelvane
