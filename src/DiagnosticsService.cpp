#include "DiagnosticsService.h"

#include "CommandRunner.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <cstdint>
#include <mach-o/dyld.h>
#endif

namespace kelvane {

namespace {

// An absolute directory that the environment variable `name` names, or
// empty.
std::string directoryFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? value : "";
}

std::string joinPath(const std::string& directory, std::string_view relative);

// The tool places that follow the bundled adb, in order: Homebrew's, then
// the Android SDK's where its environment names it or Android Studio puts
// it, and on Linux the distribution's last (it is often older than the
// SDK's, and two adb versions stop each other's servers).
std::vector<std::string> standardADBCandidates() {
    std::vector<std::string> candidates{"/opt/homebrew/bin/adb", "/usr/local/bin/adb"};
    const std::string home = directoryFromEnvironment("HOME");
#if defined(__linux__)
    for (const char* sdk : {"ANDROID_HOME", "ANDROID_SDK_ROOT"}) {
        if (const std::string root = directoryFromEnvironment(sdk); !root.empty()) {
            candidates.push_back(joinPath(root, "platform-tools/adb"));
        }
    }
    if (!home.empty()) candidates.push_back(joinPath(home, "Android/Sdk/platform-tools/adb"));
    candidates.push_back("/usr/bin/adb");
#elif defined(__APPLE__)
    if (!home.empty()) candidates.push_back(joinPath(home, "Library/Android/sdk/platform-tools/adb"));
#endif
    return candidates;
}

// adb in each absolute directory of Kelvane's own search path (Linux: where
// adb unpacked from Google's platform-tools is found by a terminal). A
// relative directory would depend on the working directory.
std::vector<std::string> searchPathADBCandidates() {
    std::vector<std::string> candidates;
#if defined(__linux__)
    const char* searchPath = std::getenv("PATH");
    std::string_view rest = searchPath ? searchPath : "";
    while (!rest.empty()) {
        const std::string_view directory = rest.substr(0, rest.find(':'));
        rest.remove_prefix(std::min(rest.size(), directory.size() + 1));
        if (directory.starts_with('/')) candidates.push_back(joinPath(std::string(directory), "adb"));
    }
#endif
    return candidates;
}

const std::vector<std::string>& standardScrcpyCandidates() {
    static const std::vector<std::string> candidates{
        "/opt/homebrew/bin/scrcpy",
        "/usr/local/bin/scrcpy",
#if defined(__linux__)
        "/usr/bin/scrcpy",
        "/snap/bin/scrcpy",
#endif
    };
    return candidates;
}

// Source labels of adb.
constexpr std::string_view missingLabel = "Missing";
constexpr std::string_view bundledLabel = "Bundled adb";
constexpr std::string_view systemLabel = "System adb";
constexpr std::string_view searchPathLabel = "adb on PATH";

// Checklist rows: titles and details.
constexpr std::string_view adbTitle = "ADB";
#if defined(__linux__)
constexpr std::string_view adbMissingDetail = "Missing. Install with: sudo apt install adb";
#else
constexpr std::string_view adbMissingDetail =
    "Missing. Install Android Platform-Tools or bundle platform-tools/adb.";
#endif
constexpr std::string_view scrcpyTitle = "scrcpy";
#if defined(__linux__)
constexpr std::string_view scrcpyMissingDetail = "Missing. Install with: sudo apt install scrcpy";
#else
constexpr std::string_view scrcpyMissingDetail = "Missing. Install with: brew install scrcpy";
#endif
constexpr std::string_view deviceTitle = "Android Device";
constexpr std::string_view noDeviceDetail =
    "No USB device detected. Connect phone, enable USB debugging, and approve the prompt.";
constexpr std::string_view authorizedDetailSuffix = " authorized device(s).";
constexpr std::string_view unauthorizedDetail =
    "Device detected but not authorized. Approve USB debugging on the phone.";
// When adb lists no phone: what the USB bus shows instead.
constexpr std::string_view debuggingOfferedDetail =
    "A phone offers USB debugging, but adb does not list it. Another adb server may hold it: run adb kill-server, "
    "then reconnect the phone.";
constexpr std::string_view fastbootDetail =
    "A phone in fastboot (bootloader) mode is attached. Restart it into Android.";
// When adb is missing: what the USB bus shows all the same.
constexpr std::string_view debuggingOfferedWithoutADBDetail =
    "A phone offering USB debugging is attached, but adb is missing: install adb first.";
constexpr std::string_view phonesUncheckedDetail = "adb is missing, so phones cannot be checked.";
constexpr std::string_view fileTransferOnlyDetail =
    "A USB device for file or photo transfer is attached, but none offers USB debugging. If it is your phone, "
    "turn on Developer options \u2192 USB debugging.";
// When adb itself fails.
constexpr std::string_view noAnswerDetailEnd = ". Run adb kill-server, then reconnect the phone and press Refresh.";
// When the program holding adb's port is known: rather than adb
// kill-server, which hangs against a program that does not answer.
constexpr std::string_view endHolderAdvice =
    ". End that program (or, if it is another tool's adb, use that same adb for every tool), then press Refresh.";
constexpr std::string_view serverFailureDetailEnd =
    ". Close the program that holds adb's port (often an adb of another version) or run adb kill-server, then press "
    "Refresh.";
// A device state that Kelvane has advice for; for the others adb lists, the
// advice to approve USB debugging stands. `mode`: the state is a mode of the
// phone other than Android.
struct StateAdvice {
    std::string_view state;
    std::string_view detail;
    bool mode = false;
};
// The state most in need of the user's action first.
constexpr StateAdvice stateAdvice[] = {
#if defined(__linux__)
    // adb lists a phone that this user may not open (no udev rule gives
    // access) in the state "no" ("no permissions ..."): there is no prompt
    // to approve.
    {"no", "Device detected but this user may not open it. Install adb's udev rules or join the plugdev group, then "
           "reconnect the phone."},
#endif
    {"unauthorized", unauthorizedDetail},
    {"authorizing", "Device is waiting for approval. Approve USB debugging on the phone, then wait a moment."},
    {"offline", "Device detected but offline. Reconnect the cable, or run adb kill-server, then press Refresh."},
    {"recovery", "", true},
    {"sideload", "", true},
    {"rescue", "", true},
    {"bootloader", "", true},
};
constexpr std::string_view otherModeDetailStart = "Device detected in ";
constexpr std::string_view otherModeDetailEnd = " mode, not Android. Restart the phone into Android.";
// adb replaced another adb's server of another version.
constexpr std::string_view heldByOtherVersionDetail =
    ", and this adb is version {client}: two adb versions stop each other's servers. End that program, or use that "
    "same adb for every tool.";
constexpr std::string_view versionClashDetail =
    ". Another adb's server (version {server}) ran here, and this adb (version {client}) replaced it: two adb "
    "versions stop each other's servers. Use one adb for every tool.";
constexpr std::string_view lingguangTitle = "Lingguang";
constexpr std::string_view lingguangInstalledDetail = "Installed on selected device.";
constexpr std::string_view lingguangMissingDetail =
    "Not installed or no selected device. Normal mirroring still works.";

// The activity-log entry of a pass starts with this.
constexpr std::string_view refreshedLogPrefix = "Diagnostics refreshed. ";

// What the transcript shows for a command: "$ adb " and the words shown.
// The package query is shown without "-s <serial>" when it is the only one.
std::string transcriptHeading(std::string_view shownCommand) {
    return "$ adb " + std::string(shownCommand) + "\n";
}

std::string startServerHeading() { return transcriptHeading("start-server"); }
std::string devicesHeading() { return transcriptHeading("devices"); }
// With a serial: the command as run, for a pass that asks several phones.
std::string packageQueryHeading(const std::string& serial) {
    return transcriptHeading((serial.empty() ? "" : "-s " + serial + " ") + "shell pm list packages " +
                             std::string(DiagnosticsService::lingguangPackage));
}

// Whether pm's package list `output` holds the package itself: a line
// "package:<package>". pm's filter is a substring match, so a longer name
// that holds it (a beta, a plug-in) is listed too, but is another app.
bool listsPackage(std::string_view output, std::string_view package) {
    constexpr std::string_view mark = "package:";
    for (std::size_t at = output.find(package); at != std::string_view::npos; at = output.find(package, at + 1)) {
        const std::size_t lineStart = output.rfind('\n', at) == std::string_view::npos ? 0 : output.rfind('\n', at) + 1;
        std::string_view line = output.substr(lineStart);
        line = line.substr(0, line.find('\n'));
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        if (line.size() == mark.size() + package.size() && line.starts_with(mark) && line.ends_with(package)) return true;
    }
    return false;
}

// The transcript entry of a command: its heading and its output, and a last
// line that says so when its time limit ended it.
std::string transcriptEntry(const std::string& heading, const CommandResult& result) {
    std::string entry = heading + result.output;
    if (result.timedOut) {
        if (!result.output.empty() && result.output.back() != '\n') entry += '\n';
        entry += "(no answer within " + std::to_string(static_cast<int>(DiagnosticsService::diagnosticsCommandTimeout)) +
                 " seconds: stopped)\n";
    }
    return entry;
}

// What adb prints when its server cannot start, or when what answers on its
// port is no adb server; and of those lines, the ones that say why, the most
// telling first. (adb copies its server's startup log into its output; the
// reason is then in a line of that log.)
constexpr std::string_view serverFailureMarkers[] = {"failed to start daemon", "cannot connect to daemon",
                                                     "didn't ACK", "protocol fault"};
constexpr std::string_view tellingServerLines[] = {"Address already in use", "smartsocket", "protocol fault",
                                                   "didn't ACK", "failed to start daemon", "cannot connect to daemon"};
// How a line of adb's server log begins: "adb F 12-07 15:09:55 21109 21109 main.cpp:144] ".
constexpr std::string_view serverLogLineStart = "adb ";
constexpr std::string_view serverLogLineEnd = "] ";
// What adb prints when it replaces another adb's server of another version.
constexpr std::string_view versionClashStart = "adb server version (";
constexpr std::string_view versionClashMiddle = ") doesn't match this client (";

// The text of `text` from `from` up to the next `end`.
std::optional<std::string> between(std::string_view text, std::size_t from, std::string_view end) {
    const std::size_t stop = text.find(end, from);
    if (stop == std::string_view::npos) return std::nullopt;
    return std::string(text.substr(from, stop - from));
}

// Notes in `trouble` what `result` of an adb command tells of adb itself.
void noteADBTrouble(ADBTrouble& trouble, const CommandResult& result) {
    const std::string_view output = result.output;
    if (result.timedOut) trouble.noAnswer = true;

    if (const std::size_t at = output.find(versionClashStart); at != std::string_view::npos && !trouble.versionClash) {
        const std::size_t serverAt = at + versionClashStart.size();
        const auto server = between(output, serverAt, ")");
        if (server && output.compare(serverAt + server->size(), versionClashMiddle.size(), versionClashMiddle) == 0) {
            if (auto client = between(output, serverAt + server->size() + versionClashMiddle.size(), ")")) {
                trouble.versionClash = std::make_pair(*server, *client);
            }
        }
    }

    const auto contains = [&](std::string_view marker) { return output.find(marker) != std::string_view::npos; };
    if (trouble.serverFailure || std::none_of(std::begin(serverFailureMarkers), std::end(serverFailureMarkers), contains)) {
        return;
    }
    for (const std::string_view telling : tellingServerLines) {
        const std::size_t at = output.find(telling);
        if (at == std::string_view::npos) continue;
        const std::size_t begin = output.rfind('\n', at) == std::string_view::npos ? 0 : output.rfind('\n', at) + 1;
        const std::size_t end = std::min(output.find('\n', at), output.size());
        std::string_view line = output.substr(begin, end - begin);
        // adb's own marks of its notices and log lines.
        if (const std::size_t end = line.find(serverLogLineEnd);
            line.starts_with(serverLogLineStart) && end != std::string_view::npos) {
            line.remove_prefix(end + serverLogLineEnd.size());
        }
        for (const std::string_view mark : {"* ", "error: ", "adb: "}) {
            if (line.starts_with(mark)) line.remove_prefix(mark.size());
        }
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        trouble.serverFailure = std::string(line);
        return;
    }
}

std::string joinPath(const std::string& directory, std::string_view relative) {
    if (!directory.empty() && directory.back() == '/') return directory + std::string(relative);
    return directory + "/" + std::string(relative);
}

// The path of the running executable, links resolved; empty when unknown.
std::string executablePath() {
#if defined(__linux__)
    std::string buffer(PATH_MAX, '\0');
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
#elif defined(__APPLE__)
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::string raw(size, '\0');
    if (_NSGetExecutablePath(raw.data(), &size) != 0) return {};
    raw.resize(std::char_traits<char>::length(raw.c_str()));
    char* resolved = ::realpath(raw.c_str(), nullptr);
    if (!resolved) return raw;
    std::string path(resolved);
    std::free(resolved);
    return path;
#else
    return {};
#endif
}

// The user's private activity log, and the directory of the user's own it
// lies below: the session's runtime directory on Linux, the per-user
// temporary directory on macOS, otherwise the home directory; nothing when
// none of them is known.
std::pair<std::string, std::string> privateLogLocation() {
    const auto directory = directoryFromEnvironment;
    const std::string name = "kelvane-pro.log";
#if defined(__APPLE__)
    if (const std::string temporary = directory("TMPDIR"); !temporary.empty()) return {joinPath(temporary, name), temporary};
#else
    if (const std::string runtime = directory("XDG_RUNTIME_DIR"); !runtime.empty()) return {joinPath(runtime, name), runtime};
#endif
    if (const std::string home = directory("HOME"); !home.empty()) return {joinPath(home, ".local/state/" + name), home};
    return {};
}

} // namespace

Places Places::standard() {
    Places places;
    places.bundleRoot = DiagnosticsService::runningBundleRoot();
    places.adbCandidates = standardADBCandidates();
    places.adbOnSearchPath = searchPathADBCandidates();
    places.scrcpyCandidates = standardScrcpyCandidates();
    places.logPath = std::string(CommandRunner::logPath);
    std::tie(places.privateLogPath, places.privateLogBase) = privateLogLocation();
#if defined(__linux__)
    places.usbDevicesDir = "/sys/bus/usb/devices";
#endif
    places.adbServer = ADBServerAddress::fromEnvironment();
    return places;
}

namespace DiagnosticsService {

// ---- Tool discovery ------------------------------------------------------

std::string bundleRootForExecutable(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    // The directory that holds the executable ("/" for a file at the root).
    const std::string_view directory = slash == 0 ? std::string_view("/") : path.substr(0, slash);
    // An application bundle: X.app/Contents/MacOS/exe.
    constexpr std::string_view bundleExecutableDirectory = ".app/Contents/MacOS";
    if (directory.size() > bundleExecutableDirectory.size() && directory.ends_with(bundleExecutableDirectory)) {
        return std::string(directory.substr(0, directory.size() - bundleExecutableDirectory.size() + 4));
    }
    return std::string(directory);
}

std::string runningBundleRoot() { return bundleRootForExecutable(executablePath()); }

std::optional<std::string> firstExecutable(const std::vector<std::string>& candidates) {
    for (const std::string& candidate : candidates) {
        // A directory may carry execute permission, but it is no program.
        struct stat info {};
        if (::stat(candidate.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> findADBPath() { return findADBPath(Places::standard()); }

std::optional<std::string> findADBPath(const Places& places) {
    // Without a known bundle root there is no bundled copy: a relative path
    // would depend on the working directory.
    if (!places.bundleRoot.empty()) {
        std::string bundled = joinPath(places.bundleRoot, bundledADBRelativePath);
        if (firstExecutable({bundled})) return bundled;
    }
    if (auto found = firstExecutable(places.adbCandidates)) return found;
    return firstExecutable(places.adbOnSearchPath);
}

std::string adbSourceLabel(const std::optional<std::string>& adbPath) {
    if (!adbPath) return std::string(missingLabel);
    if (adbPath->find(bundledADBMarker) != std::string::npos) return std::string(bundledLabel);
    return std::string(systemLabel);
}

std::string adbSourceLabel(const std::optional<std::string>& adbPath, const Places& places) {
    const auto among = [&](const std::vector<std::string>& candidates) {
        return std::find(candidates.begin(), candidates.end(), *adbPath) != candidates.end();
    };
    if (adbPath && !among(places.adbCandidates) && among(places.adbOnSearchPath)) return std::string(searchPathLabel);
    return adbSourceLabel(adbPath);
}

// ---- Judging -------------------------------------------------------------

namespace {

// "adb's port 5037 is held by /opt/android-studio/platform-tools/adb (pid
// 4242, version 39)".
std::string portHolderText(const PortHolder& holder) {
    std::string text = "adb's port " + std::to_string(holder.port) + " is held by " + holder.program + " (pid " +
                       std::to_string(holder.pid);
    if (holder.version) text += ", version " + std::to_string(*holder.version);
    return text + ")";
}

// Row 3: the phone.
CheckItem deviceCheck(const DiagnosticsSnapshot& snapshot) {
    const auto row = [](CheckState state, std::string detail) {
        return CheckItem(std::string(deviceTitle), state, std::move(detail));
    };
    const ADBTrouble& trouble = snapshot.adbTrouble;
    if (snapshot.devices.empty()) {
        // What to do: end the program that holds adb's port where it is
        // known, otherwise adb's own remedy.
        const auto advice = [&](std::string_view otherwise) {
            if (!trouble.portHolder) return std::string(otherwise);
            return ". " + portHolderText(*trouble.portHolder) + std::string(endHolderAdvice);
        };
        if (trouble.noAnswer) {
            return row(CheckState::fail, "adb did not answer within " +
                                             std::to_string(static_cast<int>(diagnosticsCommandTimeout)) + " seconds" +
                                             advice(noAnswerDetailEnd));
        }
        if (trouble.serverFailure) {
            return row(CheckState::fail, "adb's server could not start: " + *trouble.serverFailure +
                                             advice(serverFailureDetailEnd));
        }
        const bool adbMissing = !snapshot.adbPath;
        switch (snapshot.usb) {
        case USBFinding::debuggingOffered:
            return row(CheckState::fail, std::string(adbMissing ? debuggingOfferedWithoutADBDetail : debuggingOfferedDetail));
        case USBFinding::fastboot: return row(CheckState::fail, std::string(fastbootDetail));
        case USBFinding::fileTransferOnly:
            if (!adbMissing) return row(CheckState::fail, std::string(fileTransferOnlyDetail));
            break;
        case USBFinding::nothing: break;
        }
        return row(CheckState::fail, std::string(adbMissing ? phonesUncheckedDetail : noDeviceDetail));
    }
    if (const std::size_t authorized = snapshot.authorizedDevices().size(); authorized > 0) {
        return row(CheckState::pass, std::to_string(authorized) + std::string(authorizedDetailSuffix));
    }
    for (const StateAdvice& advice : stateAdvice) {
        const auto inState = [&](const AndroidDevice& device) { return device.state() == advice.state; };
        if (std::none_of(snapshot.devices.begin(), snapshot.devices.end(), inState)) continue;
        if (!advice.mode) return row(CheckState::warn, std::string(advice.detail));
        return row(CheckState::warn,
                   std::string(otherModeDetailStart) + std::string(advice.state) + std::string(otherModeDetailEnd));
    }
    return row(CheckState::warn, std::string(unauthorizedDetail));
}

} // namespace

std::vector<CheckItem> makeChecks(const DiagnosticsSnapshot& snapshot) {
    std::vector<CheckItem> checks;
    checks.reserve(4);

    const ADBTrouble& trouble = snapshot.adbTrouble;
    if (!snapshot.adbPath) {
        checks.emplace_back(std::string(adbTitle), CheckState::fail, std::string(adbMissingDetail));
    } else if (trouble.versionClash) {
        // Named by the program that holds the port, where that is known.
        const bool held = trouble.portHolder && trouble.portHolder->version;
        std::string detail = held ? ". " + portHolderText(*trouble.portHolder) + std::string(heldByOtherVersionDetail)
                                  : std::string(versionClashDetail);
        if (!held) detail.replace(detail.find("{server}"), 8, trouble.versionClash->first);
        detail.replace(detail.find("{client}"), 8, trouble.versionClash->second);
        checks.emplace_back(std::string(adbTitle), CheckState::warn, snapshot.adbSource + ": " + *snapshot.adbPath + detail);
    } else {
        checks.emplace_back(std::string(adbTitle), CheckState::pass, snapshot.adbSource + ": " + *snapshot.adbPath);
    }

    if (snapshot.scrcpyPath) {
        checks.emplace_back(std::string(scrcpyTitle), CheckState::pass, *snapshot.scrcpyPath);
    } else {
        checks.emplace_back(std::string(scrcpyTitle), CheckState::fail, std::string(scrcpyMissingDetail));
    }

    checks.push_back(deviceCheck(snapshot));
    if (snapshot.lingguangInstalled) {
        checks.emplace_back(std::string(lingguangTitle), CheckState::pass, std::string(lingguangInstalledDetail));
    } else {
        checks.emplace_back(std::string(lingguangTitle), CheckState::warn, std::string(lingguangMissingDetail));
    }
    return checks;
}

bool canStartMirror(const DiagnosticsSnapshot& snapshot) {
    return snapshot.adbPath && snapshot.scrcpyPath && !snapshot.authorizedDevices().empty();
}

// ---- The pass ------------------------------------------------------------

DiagnosticsSnapshot buildSnapshot() { return buildSnapshot(Places::standard()); }

DiagnosticsSnapshot buildSnapshot(const Places& places) { return *runPass(places, {}); }

namespace {

// Whether a server of the adb at `adb`'s own version answers at `address`,
// so that adb's commands go to it and none is started or replaced.
bool ownServerAnswers(const std::string& adb, const ADBServerAddress& address, const CommandRunner::StopSignal* stop) {
    const std::optional<int> own =
        adbProtocolVersion(CommandRunner::run(adb, versionArguments(), diagnosticsCommandTimeout, stop).output);
    const ADBServer::Answer answer = ADBServer::askVersion(address, stop);
    return answer.kind == ADBServer::Answer::Kind::version && (!own || answer.version == *own);
}

} // namespace

std::optional<DiagnosticsSnapshot> runPass(const Places& places, const PassOptions& options) {
    const auto stopped = [&] { return options.stop && options.stop->requested(); };
    DiagnosticsSnapshot snapshot;
    snapshot.adbPath = findADBPath(places);
    snapshot.adbSource = adbSourceLabel(snapshot.adbPath, places);
    snapshot.scrcpyPath = firstExecutable(places.scrcpyCandidates);

    std::vector<std::string> transcript;
    if (snapshot.adbPath) {
        const std::string& adb = *snapshot.adbPath;
        if (!options.startServer && !ownServerAnswers(adb, places.adbServer, options.stop)) return std::nullopt;
        ADBTrouble& trouble = snapshot.adbTrouble;
        // What a command's output and its end tell of adb itself. A command
        // that shows trouble is shown in the transcript.
        const auto run = [&](const std::vector<std::string>& arguments, std::string heading, bool shownAnyway) {
            // "$ adb devices\n" names the command "adb devices".
            const std::string command = heading.substr(2, heading.size() - 3);
            const auto waiting = [&](double seconds) {
                if (options.waiting && seconds >= waitToldAfter) {
                    options.waiting(command, int(std::ceil(diagnosticsCommandTimeout - seconds)));
                }
            };
            CommandResult result = CommandRunner::run(adb, arguments, diagnosticsCommandTimeout, options.stop, waiting);
            const ADBTrouble before = trouble;
            noteADBTrouble(trouble, result);
            if (shownAnyway || trouble != before) transcript.push_back(transcriptEntry(heading, result));
            return result;
        };

        // A server that does not answer its start would not answer the
        // listing either: the pass does not wait for it twice.
        if (options.startServer) run(startServerArguments(), startServerHeading(), false);
        if (!trouble.noAnswer && !stopped()) {
            const CommandResult listed = run(devicesArguments(), devicesHeading(), true);
            snapshot.devices = parseDevices(listed.output);
        }

        // Every authorized phone is asked (each once, up to maxAskedDevices),
        // so that the checklist and a mirror start can speak of whichever the
        // user chooses. Their commands are told apart by their serials where
        // there are several.
        std::vector<std::string> serials;
        for (const AndroidDevice& device : snapshot.authorizedDevices()) {
            if (serials.size() == static_cast<std::size_t>(maxAskedDevices)) break;
            if (std::find(serials.begin(), serials.end(), device.id()) == serials.end()) serials.push_back(device.id());
        }
        for (const std::string& serial : serials) {
            if (stopped()) break;
            const CommandResult packages = run(packageQueryArguments(serial),
                                               packageQueryHeading(serials.size() > 1 ? serial : ""), true);
            if (listsPackage(packages.output, lingguangPackage)) snapshot.lingguangDevices.push_back(serial);
        }
        if (!serials.empty()) {
            snapshot.selectedDeviceID = serials.front();
            snapshot.lingguangInstalled = snapshot.hasLingguang(snapshot.selectedDeviceID);
        }
        if (snapshot.devices.empty() && !trouble.noAnswer && !trouble.serverFailure && !places.usbDevicesDir.empty()) {
            snapshot.usb = readUSBBus(places.usbDevicesDir);
        }
        // `adb kill-server` would hang against what does not answer: say
        // what holds the port instead, where the system tells.
        if ((trouble.noAnswer || trouble.serverFailure) && places.adbServer.isLocalTCP() && !stopped()) {
            if ((trouble.portHolder = ADBServer::findPortHolder(places.adbServer.port))) {
                const ADBServer::Answer answer = ADBServer::askVersion(places.adbServer, options.stop);
                if (answer.kind == ADBServer::Answer::Kind::version) trouble.portHolder->version = answer.version;
            }
        }
    } else if (!places.usbDevicesDir.empty()) {
        // Without adb the bus still tells whether a phone is there.
        snapshot.usb = readUSBBus(places.usbDevicesDir);
    }
    if (stopped()) return std::nullopt;

    for (std::size_t i = 0; i < transcript.size(); ++i) {
        if (i > 0) snapshot.log += '\n';
        snapshot.log += transcript[i];
    }

    CommandRunner::appendLog(std::string(refreshedLogPrefix) + snapshot.summary(), places);
    snapshot.checks = makeChecks(snapshot);
    return snapshot;
}

namespace {

// The first line of the small file at `path`, without its line end; empty
// when it cannot be read.
std::string firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// adb's USB interface: class, subclass, protocol (hexadecimal, as sysfs
// writes them). Still images (PTP) are class 06/01/01; an MTP interface is
// vendor-specific and known by its name.
constexpr std::string_view adbInterface[] = {"ff", "42", "01"};
constexpr std::string_view fastbootInterface[] = {"ff", "42", "03"};
constexpr std::string_view stillImageInterface[] = {"06", "01", "01"};
constexpr std::string_view transferInterfaceNames[] = {"MTP", "PTP"};

} // namespace

USBFinding readUSBBus(const std::string& devicesDir) {
    DIR* directory = ::opendir(devicesDir.c_str());
    if (!directory) return USBFinding::nothing;
    // Per device ("1-1"), from its interfaces ("1-1:1.0"): adb's, fastboot's,
    // a transfer one.
    struct Offers {
        bool adb = false, fastboot = false, transfer = false;
    };
    std::map<std::string, Offers> devices;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        const std::size_t colon = name.find(':');
        if (colon == std::string::npos) continue;
        const std::string interface = joinPath(devicesDir, name) + "/";
        const std::string kind[] = {firstLine(interface + "bInterfaceClass"),
                                    firstLine(interface + "bInterfaceSubClass"),
                                    firstLine(interface + "bInterfaceProtocol")};
        const auto is = [&](const std::string_view (&expected)[3]) { return std::equal(kind, kind + 3, expected); };
        const std::string label = firstLine(interface + "interface");
        auto& [adb, fastboot, transfer] = devices[name.substr(0, colon)];
        if (is(adbInterface)) adb = true;
        if (is(fastbootInterface)) fastboot = true;
        if (is(stillImageInterface) || std::find(std::begin(transferInterfaceNames), std::end(transferInterfaceNames),
                                                 label) != std::end(transferInterfaceNames)) {
            transfer = true;
        }
    }
    ::closedir(directory);
    // The finding most in need of the user's action first.
    USBFinding found = USBFinding::nothing;
    for (const auto& [device, offers] : devices) {
        if (offers.adb) return USBFinding::debuggingOffered;
        if (offers.fastboot) found = USBFinding::fastboot;
        if (offers.transfer && found == USBFinding::nothing) found = USBFinding::fileTransferOnly;
    }
    return found;
}

DiagnosticsSnapshot withOtherServer(DiagnosticsSnapshot snapshot, int version, int ownVersion,
                                    std::optional<PortHolder> holder) {
    snapshot.adbTrouble.versionClash = std::make_pair(std::to_string(version), std::to_string(ownVersion));
    snapshot.adbTrouble.portHolder = std::move(holder);
    snapshot.checks = makeChecks(snapshot);
    return snapshot;
}

DiagnosticsSnapshot judgedFor(DiagnosticsSnapshot snapshot, const std::optional<std::string>& serial) {
    const bool found = snapshot.hasLingguang(serial ? serial : snapshot.selectedDeviceID);
    if (found == snapshot.lingguangInstalled) return snapshot;
    snapshot.lingguangInstalled = found;
    snapshot.checks = makeChecks(snapshot);
    return snapshot;
}

} // namespace DiagnosticsService
} // namespace kelvane
