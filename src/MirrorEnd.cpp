#include "MirrorEnd.h"

#include <algorithm>
#include <csignal>
#include <iterator>

namespace kelvane::DiagnosticsService {
namespace {

// Failures of scrcpy that Kelvane can explain: a text that scrcpy, the adb
// it runs, or its server on the phone prints for it (as printed), and what
// the user can do. The first row whose text was printed gives the advice, so
// a cause comes before what it leads to (two adb versions before a phone
// that is then not found).
constexpr std::string_view phoneNotFoundAdvice =
    "The phone was not found: reconnect it, approve USB debugging if the phone asks, then press Start Mirror again.";
constexpr std::string_view tooOldAdvice = "This scrcpy is too old for the phone's Android version: install a newer scrcpy.";
constexpr std::string_view noDisplayAdvice =
    "scrcpy found no display for its window: start Kelvane from the desktop session, or set SDL_VIDEODRIVER.";
struct KnownMirrorFailure {
    std::string_view printed;
    std::string_view advice;
};
constexpr KnownMirrorFailure knownMirrorFailures[] = {
    // adb: "adb server version (40) doesn't match this client (41); killing..."
    {"doesn't match this client",
     "Two adb versions stop each other's server (another tool runs its own adb): use one adb for every tool."},
    // "[server] ERROR: The server version (2.3) does not match the client (2.3.1)"
    {"does not match the client", "scrcpy's server does not belong to this scrcpy: reinstall scrcpy."},
    // "java.lang.AssertionError: java.lang.NoSuchMethodException: android.view.SurfaceControl.createDisplay ..."
    {"java.lang.NoSuchMethodException", tooOldAdvice},
    // "Caused by: java.lang.IllegalArgumentException: displayToken must not be null"
    {"displayToken must not be null", tooOldAdvice},
    // "[server] ERROR: Encoding error: android.media.MediaCodec$CodecException: Error 0xfffffc0e"
    {"MediaCodec$CodecException",
     "The phone's video encoder failed at this size: mirror at a lower resolution (scrcpy -m 1024)."},
    // "ERROR: Could not initialize SDL video: No available video device"
    {"No available video device", noDisplayAdvice},
    {"No available displays", noDisplayAdvice},
    {"Could not create window", noDisplayAdvice},
    // "ERROR: Could not find any ADB device", "ERROR: Could not find ADB device R58M:"
    {"Could not find any ADB device", phoneNotFoundAdvice},
    {"Could not find ADB device", phoneNotFoundAdvice},
    // adb: "adb: error: failed to get feature set: device 'R58M' not found"
    {"failed to get feature set", phoneNotFoundAdvice},
    {"no devices/emulators found", phoneNotFoundAdvice},
    // "Caused by: java.lang.SecurityException: Injecting input events requires the caller ... INJECT_EVENTS permission."
    {"INJECT_EVENTS permission",
     "The phone refuses input from the computer: on Xiaomi phones (MIUI, HyperOS) turn on Developer options "
     "\u2192 USB debugging (Security settings)."},
};

// scrcpy's error lines begin so; those its server on the phone sends, with
// the server's mark before it.
constexpr std::string_view errorLinePrefix = "ERROR:";
constexpr std::string_view serverLinePrefix = "[server] ";
// Error lines that only say that something before them went wrong: the
// reason is the last error line but these, unless there is no other.
constexpr std::string_view consequenceLines[] = {"Server connection failed", "Exception on thread"};

// How scrcpy's status tells that the phone went away while mirroring (an
// unplug, a reboot): 1 is a failed start, 2 a lost phone.
constexpr int phoneGoneStatus = 2;

// Signals that stop a mirror on purpose: the window closed, the session
// ended, the user's interrupt or kill.
constexpr int stoppingSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGKILL};

constexpr std::string_view crashAdvice =
    "Install the newest scrcpy; if it keeps crashing, tell scrcpy's developers what you did.";

} // namespace

void MirrorOutputScan::feed(std::string_view chunk) {
    for (std::size_t lineEnd; (lineEnd = chunk.find('\n')) != std::string_view::npos; chunk.remove_prefix(lineEnd + 1)) {
        if (partial_.size() < maxLineBytes) partial_.append(chunk.substr(0, std::min(lineEnd, maxLineBytes - partial_.size())));
        takeLine(partial_);
        partial_.clear();
    }
    partial_.append(chunk.substr(0, maxLineBytes - std::min(partial_.size(), maxLineBytes)));
}

void MirrorOutputScan::takeLine(std::string_view line) {
    for (std::size_t i = 0; i < std::min(known_, std::size(knownMirrorFailures)); ++i) {
        if (line.find(knownMirrorFailures[i].printed) != std::string_view::npos) known_ = i;
    }
    if (line.starts_with(serverLinePrefix)) line.remove_prefix(serverLinePrefix.size());
    if (!line.starts_with(errorLinePrefix)) return;
    line.remove_prefix(errorLinePrefix.size());
    // An indented one continues the line before it (a list, a hint).
    if (line.starts_with("  ")) return;
    const std::size_t first = line.find_first_not_of(" \t");
    const std::size_t last = line.find_last_not_of(" \t\r:");
    if (first == std::string_view::npos || last < first) return;
    line = line.substr(first, last - first + 1);
    lastError_ = line;
    const auto startsLine = [&](std::string_view consequence) { return line.starts_with(consequence); };
    if (std::none_of(std::begin(consequenceLines), std::end(consequenceLines), startsLine)) reason_ = line;
}

std::string MirrorOutputScan::reason() const {
    // The line still open at the end counts too.
    MirrorOutputScan last = *this;
    if (!partial_.empty()) last.takeLine(partial_);
    return last.reason_.empty() ? last.lastError_ : last.reason_;
}

std::string_view MirrorOutputScan::advice() const {
    MirrorOutputScan last = *this;
    if (!partial_.empty()) last.takeLine(partial_);
    return last.known_ < std::size(knownMirrorFailures) ? knownMirrorFailures[last.known_].advice : std::string_view();
}

std::string signalName(int signal) {
    static constexpr std::pair<int, std::string_view> names[] = {
        {SIGHUP, "SIGHUP"}, {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},   {SIGTRAP, "SIGTRAP"},
        {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"}, {SIGFPE, "SIGFPE"},   {SIGKILL, "SIGKILL"}, {SIGSEGV, "SIGSEGV"},
        {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"}, {SIGSYS, "SIGSYS"},
    };
    for (const auto& [number, name] : names) {
        if (number == signal) return std::string(name);
    }
    return "signal " + std::to_string(signal);
}

MirrorEndReport mirrorEndReport(const std::string& serial, const CommandResult& end, const MirrorOutputScan* output) {
    const std::string mirror = "Mirror for " + serial;
    if (end.signalled) {
        const std::string signal = signalName(end.status);
        if (std::find(std::begin(stoppingSignals), std::end(stoppingSignals), end.status) != std::end(stoppingSignals)) {
            return {mirror + " was stopped.", std::nullopt, mirror + " was stopped (" + signal + ")."};
        }
        const std::string status = mirror + " stopped unexpectedly.";
        const std::string error = "scrcpy crashed (" + signal + "). " + std::string(crashAdvice);
        return {status, error, status + " " + error};
    }
    if (end.status == 0) return {std::nullopt, std::nullopt, mirror + " ended."};
    if (end.status == phoneGoneStatus) {
        const std::string status = mirror + " ended: the phone was disconnected.";
        return {status, std::nullopt, status};
    }
    const std::string reason = output ? output->reason() : std::string();
    std::string error = mirror + " ended (status " + std::to_string(end.status) + ")";
    if (reason.empty()) {
        error += ".";
    } else {
        error += ": " + reason;
        if (std::string_view(".!?").find(reason.back()) == std::string_view::npos) error += ".";
    }
    if (output && !output->advice().empty()) error += " " + std::string(output->advice());
    return {mirror + " failed.", error, error};
}

} // namespace kelvane::DiagnosticsService
