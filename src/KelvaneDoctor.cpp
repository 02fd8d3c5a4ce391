#include "KelvaneDoctor.h"

#include "CommandRunner.h"
#include "DeviceFollower.h"
#include "ListFollowUp.h"
#include "FileDescriptor.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <ostream>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace kelvane::doctor {

namespace {

// Status after showing the help or the version.
constexpr int helpStatus = 0;

constexpr std::string_view jsonOption = "--json";
constexpr std::string_view watchOption = "--watch";
constexpr std::string_view connectOption = "--connect";
constexpr std::string_view pairOption = "--pair";
constexpr std::string_view helpOption = "--help";
constexpr std::string_view shortHelpOption = "-h";
constexpr std::string_view versionOption = "--version";

// The checklist rows' ids in the JSON report, in row order.
constexpr std::string_view rowIds[] = {"adb", "scrcpy", "device", "lingguang"};

// Now, as the local clock reads it: "2026-12-07 21:31:05 +0100".
std::string localTime() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::localtime_r(&now, &parts);
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &parts));
}

// Names the activity log in the text report.
constexpr std::string_view activityLogLabel = "Activity log: ";
// ... when no log could be written.
constexpr std::string_view noActivityLog = "none (the shared one cannot be used, and there is no place of this user's "
                                           "alone for a private one)";

// The project's version, handed in by the build.
constexpr std::string_view projectVersion = KELVANE_VERSION;

// Advice as a terminal's user follows it: there is no Refresh button, but
// the doctor to run again.
std::string forTerminal(std::string detail) {
    constexpr std::string_view button = "press Refresh", again = "run kelvane-doctor again";
    for (std::size_t at = detail.find(button); at != std::string::npos; at = detail.find(button, at + again.size())) {
        detail.replace(at, button.size(), again);
    }
    return detail;
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Appends `byte` to `text` in two hexadecimal digits.
void appendHex(std::string& text, unsigned byte) {
    static constexpr char hexDigits[] = "0123456789abcdef";
    text += hexDigits[(byte >> 4) & 0xF];
    text += hexDigits[byte & 0xF];
}

// `text` with each control character that a terminal could obey replaced by
// what `escaped` gives for it (its code point and its bytes): DEL, the C1
// controls U+0080 to U+009F (two bytes in UTF-8) and, where `belowSpace`,
// those below U+0020 but line feed and tab.
std::string replaceControls(std::string_view text, bool belowSpace,
                            const std::function<std::string(unsigned, std::string_view)>& escaped) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            shown += escaped(next, text.substr(i++, 2));
        } else if (byte == 0x7F || (belowSpace && byte < 0x20 && byte != '\n' && byte != '\t')) {
            shown += escaped(byte, text.substr(i, 1));
        } else {
            shown += text[i];
        }
    }
    return shown;
}

// `text` with each byte of a control character but line feed and tab shown
// as \xHH. A terminal then shows phone output without obeying it.
std::string escapeControls(std::string_view text) {
    return replaceControls(text, true, [](unsigned, std::string_view bytes) {
        std::string escaped;
        for (const char byte : bytes) escaped += "\\x", appendHex(escaped, static_cast<unsigned char>(byte));
        return escaped;
    });
}

// Writes `text` to `out` and gives `status`; when `out` refuses it, says
// why on `err` and gives unwrittenStatus.
int writeOut(const std::string& program, std::ostream& out, std::ostream& err, const std::string& text, int status) {
    errno = 0;
    out << text;
    out.flush();
    if (out) return status;
    const int error = errno;
    err << baseName(program) << ": cannot write the report: "
        << (error != 0 ? std::strerror(error) : "the output refused it") << '\n';
    return unwrittenStatus;
}

nlohmann::ordered_json optionalText(const std::optional<std::string>& text) {
    return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

} // namespace

std::string_view version() { return projectVersion; }

std::string wirelessTextReport(const Wireless::Outcome& outcome) {
    std::string text = outcome.transcript;
    if (!text.empty()) text += '\n';
    return escapeControls(text + outcome.message + "\n");
}

std::string wirelessJSONReport(const Wireless::Outcome& outcome) {
    nlohmann::ordered_json report;
    report["succeeded"] = outcome.succeeded();
    report["failure"] = std::string(Wireless::failureName(outcome.failure));
    report["serial"] = optionalText(outcome.serial);
    report["message"] = outcome.message;
    report["transcript"] = outcome.transcript;
    return report.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string usage(const std::string& program) {
    const std::string name = baseName(program);
    return "Usage: " + name + " [--json] [--watch]\n"
           "       " + name + " [--json] [--pair ADDRESS:PORT CODE] [--connect ADDRESS[:PORT]]\n"
           "\n"
           "Runs one Kelvane diagnostics pass and prints the checklist: whether adb\n"
           "and scrcpy are installed, whether a phone with authorized USB debugging\n"
           "is attached, and whether Lingguang is installed on it. Then the one-line\n"
           "summary and the adb commands' transcript.\n"
           "\n"
           "  --json      print the whole result as one JSON object instead\n"
           "  --watch     then follow adb's device list, and run and print the\n"
           "              checks again each time it changes, until interrupted\n"
           "              (with --json, one JSON object a line)\n"
           "  --connect ADDRESS[:PORT]\n"
           "              connect adb to a phone over Wi-Fi (port 5555 unless\n"
           "              given) instead of running the checks\n"
           "  --pair ADDRESS:PORT CODE\n"
           "              pair with a phone that shows a pairing code under\n"
           "              Wireless debugging (adb 30 or later), then connect\n"
           "              to --connect's address if given\n"
           "  --version   show the version\n"
           "  -h, --help  show this help\n"
           "\n"
           "Exit status:\n"
           "  0  a mirror could start (adb and scrcpy found and at least one\n"
           "     authorized device)\n"
           "  1  otherwise\n"
           "  2  an unknown option\n"
           "  3  the report could not be written (for example standard output\n"
           "     closed or the disk full; the reason goes to standard error)\n"
           "  4  --connect or --pair failed (the report says why and what to do)\n"
           "\n"
           "The pass is recorded in Kelvane's activity log, " +
           std::string(CommandRunner::logPath) + ", or in the user's\n"
           "own when that one cannot be used; the report names the log it wrote.\n";
}

std::string textReport(const DiagnosticsSnapshot& snapshot, const std::string& logPath) {
    std::size_t titleWidth = 0;
    for (const CheckItem& check : snapshot.checks) titleWidth = std::max(titleWidth, check.title().size());

    std::string report;
    for (const CheckItem& check : snapshot.checks) {
        report += std::string(rawValue(check.state())) + "  " + check.title() +
                  std::string(titleWidth - check.title().size() + 2, ' ') + forTerminal(check.detail()) + "\n";
    }
    report += "\n" + snapshot.summary() + "\n" + std::string(activityLogLabel) +
              (logPath.empty() ? std::string(noActivityLog) : logPath) + "\n";
    if (!snapshot.log.empty()) {
        report += "\n" + snapshot.log;
        if (snapshot.log.back() != '\n') report += "\n";
    }
    return escapeControls(report);
}

std::string jsonReport(const DiagnosticsSnapshot& snapshot, const std::string& logPath, bool oneLine,
                       const std::string& time) {
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    for (const AndroidDevice& device : snapshot.devices) {
        devices.push_back({{"id", device.id()}, {"state", device.state()}, {"authorized", device.isAuthorized()}});
    }
    nlohmann::ordered_json checks = nlohmann::ordered_json::array();
    for (std::size_t row = 0; row < snapshot.checks.size(); ++row) {
        const CheckItem& check = snapshot.checks[row];
        // Named for scripts to key on; a row beyond the four keeps its own.
        checks.push_back({{"id", row < std::size(rowIds) ? std::string(rowIds[row]) : check.id().toString()},
                          {"title", check.title()},
                          {"state", std::string(rawValue(check.state()))},
                          {"detail", forTerminal(check.detail())}});
    }
    nlohmann::ordered_json json;
    if (!time.empty()) json["time"] = time;
    json.update(nlohmann::ordered_json{
        {"adbPath", optionalText(snapshot.adbPath)},
        {"adbSource", snapshot.adbSource},
        {"scrcpyPath", optionalText(snapshot.scrcpyPath)},
        {"devices", devices},
        {"selectedDeviceID", optionalText(snapshot.selectedDeviceID)},
        {"lingguangInstalled", snapshot.lingguangInstalled},
        {"lingguangDevices", snapshot.lingguangDevices},
        {"checks", checks},
        {"log", snapshot.log},
        {"summary", snapshot.summary()},
        {"canStartMirror", DiagnosticsService::canStartMirror(snapshot)},
        {"logPath", logPath.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(logPath)},
    });
    // Paths come from the file system and need not be UTF-8.
    const std::string dumped = json.dump(oneLine ? -1 : 2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    // The writer escapes the controls below U+0020; DEL and the C1 controls
    // (U+0080 to U+009F, two bytes in UTF-8) are escaped here too, so that
    // the report cannot steer a terminal either. Outside strings the JSON
    // text holds no such bytes.
    const std::string escaped = replaceControls(dumped, false, [](unsigned control, std::string_view) {
        std::string unicode = "\\u00";
        appendHex(unicode, control);
        return unicode;
    });
    return escaped + "\n";
}

// Follows adb's device list for --watch, as a guest of adb's server: keeps
// the latest list, or the other server found instead, and wakes the waiting
// thread.
class Watcher {
public:
    Watcher(const Places& places, const std::string& adb, std::vector<AndroidDevice> shown) : followUp_(std::move(shown)) {
        if (const int error = makePipe(bellRead_, bellWrite_, true); error != 0) {
            throw std::system_error(error, std::generic_category(), "pipe");
        }
        DeviceFollower::Listener listener;
        listener.devices = [this](std::vector<AndroidDevice> list) { tell([&] { followUp_.told(std::move(list)); }); };
        listener.otherServer = [this](const DeviceFollower::OtherServer& other) { tell([&] { other_ = other; }); };
        follower_ = std::make_unique<DeviceFollower>(adb, places.adbServer, std::move(listener));
    }

    // What woke the watch.
    struct Change {
        bool stopped = false;
        std::optional<DeviceFollower::OtherServer> otherServer;
    };

    // Waits for a list that needs a pass, for another version's server, or
    // for `stop`.
    Change next(const CommandRunner::StopSignal& stop) {
        for (;;) {
            {
                const std::lock_guard lock(mutex_);
                if (other_) return {false, std::exchange(other_, std::nullopt)};
                if (followUp_.takeChange()) return {};
            }
            pollfd fds[2] = {{stop.descriptor(), POLLIN, 0}, {bellRead_.get(), POLLIN, 0}};
            ::poll(fds, 2, -1);
            if (stop.requested()) return {true, std::nullopt};
            char bytes[64];
            while (::read(bellRead_.get(), bytes, sizeof bytes) > 0) {
            }
        }
    }

    void found(const std::vector<AndroidDevice>& devices) {
        const std::lock_guard lock(mutex_);
        followUp_.passFound(devices);
    }

    void forget() {
        const std::lock_guard lock(mutex_);
        followUp_.forget();
    }

private:
    template <typename Update>
    void tell(Update update) {
        {
            const std::lock_guard lock(mutex_);
            update();
        }
        [[maybe_unused]] const ssize_t written = ::write(bellWrite_.get(), "", 1);
    }

    std::mutex mutex_;
    ListFollowUp followUp_;
    std::optional<DeviceFollower::OtherServer> other_;
    FileDescriptor bellRead_, bellWrite_;
    std::unique_ptr<DeviceFollower> follower_; // last: ends first, and its lists need the rest
};

int run(const std::string& program, const std::vector<std::string>& arguments, const Places& places,
        std::ostream& out, std::ostream& err, Watch* watch) {
    bool asJSON = false;
    bool watching = false;
    // Help and version come before everything else; the first one asked for wins.
    for (const std::string& argument : arguments) {
        if (argument == helpOption || argument == shortHelpOption) {
            return writeOut(program, out, err, usage(program), helpStatus);
        }
        if (argument == versionOption) {
            return writeOut(program, out, err, baseName(program) + " " + std::string(version()) + "\n", helpStatus);
        }
    }
    // --pair pairs, then connects to --connect's address, in either order.
    std::optional<Wireless::Request> pairing;
    std::optional<std::string> connectTo;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        const std::size_t words = argument == connectOption ? 1 : argument == pairOption ? 2 : 0;
        if (words > 0 && index + words < arguments.size()) {
            if (argument == pairOption) {
                pairing = Wireless::Request{Wireless::Request::Kind::pair, arguments[index + 1], arguments[index + 2], {}};
            } else {
                connectTo = arguments[index + 1];
            }
            index += words;
        } else if (argument == jsonOption) {
            asJSON = true;
        } else if (argument == watchOption) {
            watching = true;
        } else if (words > 0) {
            err << baseName(program) << ": " << argument << " needs " << (words == 1 ? "an address" : "an address and a code")
                << "\n\n" << usage(program);
            return usageStatus;
        } else {
            err << baseName(program) << ": unknown option '" << argument << "'\n\n" << usage(program);
            return usageStatus;
        }
    }

    std::optional<Wireless::Request> wireless = pairing;
    if (pairing && connectTo) wireless->connectTo = *connectTo;
    if (!pairing && connectTo) wireless = Wireless::Request{Wireless::Request::Kind::connect, *connectTo, {}, {}};
    if (wireless && watching) {
        err << baseName(program) << ": --watch cannot go with --connect or --pair\n\n" << usage(program);
        return usageStatus;
    }
    if (wireless) {
        Wireless::Outcome outcome = Wireless::withoutADB();
        if (const std::optional<std::string> adb = DiagnosticsService::findADBPath(places)) {
            outcome = Wireless::carryOut(*wireless, [&](const std::vector<std::string>& words) {
                return CommandRunner::run(*adb, words, DiagnosticsService::diagnosticsCommandTimeout);
            });
            CommandRunner::appendLog(Wireless::logEntry(outcome), places);
        }
        return writeOut(program, out, err, asJSON ? wirelessJSONReport(outcome) : wirelessTextReport(outcome),
                        outcome.succeeded() ? readyStatus : wirelessFailedStatus);
    }

    // One pass and its report. With --watch each report begins with the
    // local time (JSON: "time"); text reports are set apart by an empty
    // line, and JSON ones take one line each.
    bool first = true;
    const auto report = [&](const DiagnosticsSnapshot& snapshot) {
        const std::string logPath = CommandRunner::logInUse(places);
        const std::string time = watching ? localTime() : "";
        std::string text = asJSON ? jsonReport(snapshot, logPath, watching, time) : textReport(snapshot, logPath);
        if (watching && !asJSON) text = (first ? "" : "\n") + time + "\n" + text;
        const int status = DiagnosticsService::canStartMirror(snapshot) ? readyStatus : notReadyStatus;
        first = false;
        return writeOut(program, out, err, text, status);
    };
    // A stop (a signal) abandons the pass under way: nothing is reported or
    // logged for it.
    Watch unstoppable;
    const CommandRunner::StopSignal& stop = (watch ? *watch : unstoppable).stopSignal();
    // A command that keeps the pass waiting is named once on standard error.
    std::string toldWait;
    const auto waiting = [&](const std::string& command, int secondsLeft) {
        if (command == toldWait) return;
        toldWait = command;
        err << baseName(program) << ": waiting for " << command << ", up to " << secondsLeft << " s more\n" << std::flush;
    };
    const auto pass = [&](bool startServer) {
        toldWait.clear();
        return DiagnosticsService::runPass(places, {startServer, &stop, waiting});
    };
    std::optional<DiagnosticsSnapshot> snapshot = pass(true);
    if (!snapshot) return stoppedStatus;
    int status = report(*snapshot);
    if (!watching || status == unwrittenStatus || stop.requested()) return status;
    if (!snapshot->adbPath) {
        err << baseName(program) << ": adb is missing: there is no device list to follow\n";
        return status;
    }

    // Later passes are adb's server's guests: a change was told by a server
    // of this adb's, and they run only while it still answers.
    std::unique_ptr<Watcher> following;
    try {
        following = std::make_unique<Watcher>(places, *snapshot->adbPath, snapshot->devices);
    } catch (const std::exception& error) {
        err << baseName(program) << ": cannot follow adb's device list: " << error.what() << '\n';
        return status;
    }
    Watcher& watcher = *following;
    while (status != unwrittenStatus) {
        const Watcher::Change change = watcher.next(stop);
        if (change.stopped) break;
        if (change.otherServer) {
            watcher.forget();
            const DeviceFollower::OtherServer& other = *change.otherServer;
            *snapshot = DiagnosticsService::withOtherServer(std::move(*snapshot), other.version, other.ownVersion,
                                                           other.holder);
        } else if (std::optional<DiagnosticsSnapshot> next = pass(false)) {
            watcher.found(next->devices);
            snapshot = std::move(next);
        } else {
            if (stop.requested()) break;
            watcher.forget();
            continue;
        }
        status = report(*snapshot);
    }
    return status;
}

} // namespace kelvane::doctor
