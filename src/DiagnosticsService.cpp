#include "DiagnosticsService.h"

#include "CommandRunner.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <cstdint>
#include <mach-o/dyld.h>
#endif

namespace kelvane {

namespace {

// The fixed tool places that follow the bundled adb, and the scrcpy places.
// On Linux the distributions' own places follow the Homebrew ones.
const std::vector<std::string>& standardADBCandidates() {
    static const std::vector<std::string> candidates{
        "/opt/homebrew/bin/adb",
        "/usr/local/bin/adb",
#if defined(__linux__)
        "/usr/bin/adb",
#endif
    };
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

// Checklist rows: titles and details.
constexpr std::string_view adbTitle = "ADB";
constexpr std::string_view adbMissingDetail =
    "Missing. Install Android Platform-Tools or bundle platform-tools/adb.";
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
#if defined(__linux__)
// adb lists a phone that this user may not open (no udev rule gives access)
// in the state "no" ("no permissions ..."): there is no prompt to approve.
constexpr std::string_view noPermissionState = "no";
constexpr std::string_view noPermissionDetail =
    "Device detected but this user may not open it. Install adb's udev rules or join the plugdev group, then "
    "reconnect the phone.";
#endif
constexpr std::string_view lingguangTitle = "Lingguang";
constexpr std::string_view lingguangInstalledDetail = "Installed on selected device.";
constexpr std::string_view lingguangMissingDetail =
    "Not installed or no selected device. Normal mirroring still works.";

// The line of `adb devices` after which the devices are listed.
constexpr std::string_view devicesListHeading = "List of devices attached";

// The activity-log entry of a pass starts with this.
constexpr std::string_view refreshedLogPrefix = "Diagnostics refreshed. ";

// What the transcript shows for a command: "$ adb " and the words shown.
// The package query is shown without "-s <serial>".
std::string transcriptHeading(std::string_view shownCommand) {
    return "$ adb " + std::string(shownCommand) + "\n";
}

std::string devicesHeading() { return transcriptHeading("devices"); }
std::string packageQueryHeading() {
    return transcriptHeading("shell pm list packages " + std::string(DiagnosticsService::lingguangPackage));
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

} // namespace

Places Places::standard() {
    Places places;
    places.bundleRoot = DiagnosticsService::runningBundleRoot();
    places.adbCandidates = standardADBCandidates();
    places.scrcpyCandidates = standardScrcpyCandidates();
    places.logPath = std::string(CommandRunner::logPath);
    return places;
}

namespace DiagnosticsService {

// ---- Command lines -------------------------------------------------------

std::vector<std::string> startServerArguments() { return {"start-server"}; }

std::vector<std::string> devicesArguments() { return {"devices"}; }

std::vector<std::string> packageQueryArguments(const std::string& serial) {
    return {"-s", serial, "shell", "pm", "list", "packages", std::string(lingguangPackage)};
}

std::vector<std::string> lingguangLaunchArguments(const std::string& serial) {
    return {"-s", serial, "shell", "monkey", "-p", std::string(lingguangPackage),
            "-c", std::string(launcherCategory), "1"};
}

std::vector<std::string> scrcpyArguments(const std::string& serial) {
    return {"--serial", serial, "--window-title", "Kelvane - " + serial};
}

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
    return firstExecutable(places.adbCandidates);
}

std::string adbSourceLabel(const std::optional<std::string>& adbPath) {
    if (!adbPath) return std::string(missingLabel);
    if (adbPath->find(bundledADBMarker) != std::string::npos) return std::string(bundledLabel);
    return std::string(systemLabel);
}

// ---- Judging -------------------------------------------------------------

std::vector<AndroidDevice> parseDevices(std::string_view output) {
    // Bytes: a line feed ends a line; spaces and tabs separate fields. A
    // carriage return is an ordinary byte and stays inside its field.
    auto split = [](std::string_view text, std::string_view separators) {
        std::vector<std::string_view> parts;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find_first_of(separators, start);
            const std::size_t stop = end == std::string_view::npos ? text.size() : end;
            if (stop > start) parts.push_back(text.substr(start, stop - start));
            start = stop + 1;
        }
        return parts;
    };
    // Older adb ends its heading with a blank; text from Windows with a
    // carriage return.
    auto isHeading = [](std::string_view line) {
        const std::size_t last = line.find_last_not_of(" \t\r");
        return last != std::string_view::npos && line.substr(0, last + 1) == devicesListHeading;
    };

    std::vector<AndroidDevice> devices;
    bool listing = false;
    for (const std::string_view line : split(output, "\n")) {
        if (isHeading(line)) {
            listing = true;
            continue;
        }
        if (!listing) continue;
        const std::vector<std::string_view> fields = split(line, " \t");
        if (fields.size() < 2) continue;
        devices.emplace_back(std::string(fields[0]), std::string(fields[1]));
    }
    return devices;
}

std::vector<CheckItem> makeChecks(const DiagnosticsSnapshot& snapshot) {
    std::vector<CheckItem> checks;
    checks.reserve(4);

    if (snapshot.adbPath) {
        checks.emplace_back(std::string(adbTitle), CheckState::pass, snapshot.adbSource + ": " + *snapshot.adbPath);
    } else {
        checks.emplace_back(std::string(adbTitle), CheckState::fail, std::string(adbMissingDetail));
    }

    if (snapshot.scrcpyPath) {
        checks.emplace_back(std::string(scrcpyTitle), CheckState::pass, *snapshot.scrcpyPath);
    } else {
        checks.emplace_back(std::string(scrcpyTitle), CheckState::fail, std::string(scrcpyMissingDetail));
    }

    const std::size_t authorized = snapshot.authorizedDevices().size();
    if (snapshot.devices.empty()) {
        checks.emplace_back(std::string(deviceTitle), CheckState::fail, std::string(noDeviceDetail));
    } else if (authorized > 0) {
        checks.emplace_back(std::string(deviceTitle), CheckState::pass,
                            std::to_string(authorized) + std::string(authorizedDetailSuffix));
    } else {
        std::string_view detail = unauthorizedDetail;
#if defined(__linux__)
        for (const AndroidDevice& device : snapshot.devices) {
            if (device.state() == noPermissionState) detail = noPermissionDetail;
        }
#endif
        checks.emplace_back(std::string(deviceTitle), CheckState::warn, std::string(detail));
    }

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

DiagnosticsSnapshot buildSnapshot(const Places& places) {
    DiagnosticsSnapshot snapshot;
    snapshot.adbPath = findADBPath(places);
    snapshot.adbSource = adbSourceLabel(snapshot.adbPath);
    snapshot.scrcpyPath = firstExecutable(places.scrcpyCandidates);

    std::vector<std::string> transcript;
    if (snapshot.adbPath) {
        const std::string& adb = *snapshot.adbPath;
        // Only the commands' output matters; their exit status never does.
        CommandRunner::run(adb, startServerArguments(), diagnosticsCommandTimeout);

        const std::string devicesOutput = CommandRunner::run(adb, devicesArguments(), diagnosticsCommandTimeout).output;
        transcript.push_back(devicesHeading() + devicesOutput);
        snapshot.devices = parseDevices(devicesOutput);

        const std::vector<AndroidDevice> authorized = snapshot.authorizedDevices();
        if (!authorized.empty()) {
            const std::string& serial = authorized.front().id();
            const std::string packagesOutput =
                CommandRunner::run(adb, packageQueryArguments(serial), diagnosticsCommandTimeout).output;
            transcript.push_back(packageQueryHeading() + packagesOutput);
            snapshot.lingguangInstalled = packagesOutput.find(lingguangPackage) != std::string::npos;
            snapshot.selectedDeviceID = serial;
        }
    }

    for (std::size_t i = 0; i < transcript.size(); ++i) {
        if (i > 0) snapshot.log += '\n';
        snapshot.log += transcript[i];
    }

    CommandRunner::appendLog(std::string(refreshedLogPrefix) + snapshot.summary(), places.logPath);
    snapshot.checks = makeChecks(snapshot);
    return snapshot;
}

} // namespace DiagnosticsService
} // namespace kelvane
