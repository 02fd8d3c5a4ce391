// Where adb and scrcpy are looked for, in order, on each system; which one
// is taken; and the user's private activity log's place.
#include "ToolDiscovery.h"

#include "ActivityLog.h"
#include "OutsideTools.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <tuple>
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

void launchWithADB(const std::string& executable, const std::vector<std::string>& arguments, const Places& places,
                   CommandRunner::DetachedEnd ended) {
    CommandRunner::launchDetached(executable, arguments, places, findADBPath(places).value_or(""), std::move(ended));
}

} // namespace DiagnosticsService
} // namespace kelvane
