#include "KelvaneDoctor.h"

#include "CommandRunner.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>

namespace kelvane::doctor {

namespace {

// Status after showing the help or the version.
constexpr int helpStatus = 0;

constexpr std::string_view jsonOption = "--json";
constexpr std::string_view helpOption = "--help";
constexpr std::string_view shortHelpOption = "-h";
constexpr std::string_view versionOption = "--version";

// Names the activity log in the text report.
constexpr std::string_view activityLogLabel = "Activity log: ";

// The project's version, handed in by the build.
constexpr std::string_view projectVersion = KELVANE_VERSION;

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// `text` with each byte of a control character but line feed and tab shown
// as \xHH: the C0 controls, DEL, and the C1 controls U+0080 to U+009F (two
// bytes in UTF-8). A terminal then shows phone output without obeying it.
std::string escapeControls(std::string_view text) {
    static constexpr char hexDigits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    const auto escape = [&](unsigned char byte) {
        shown += "\\x";
        shown += hexDigits[byte >> 4];
        shown += hexDigits[byte & 0xF];
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c1) {
            escape(byte);
            escape(static_cast<unsigned char>(text[++i]));
        } else if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F) {
            escape(byte);
        } else {
            shown += text[i];
        }
    }
    return shown;
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

std::string usage(const std::string& program) {
    const std::string name = baseName(program);
    return "Usage: " + name + " [--json]\n"
           "\n"
           "Runs one Kelvane diagnostics pass and prints the checklist: whether adb\n"
           "and scrcpy are installed, whether a phone with authorized USB debugging\n"
           "is attached, and whether Lingguang is installed on it. Then the one-line\n"
           "summary and the adb commands' transcript.\n"
           "\n"
           "  --json      print the whole result as one JSON object instead\n"
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
                  std::string(titleWidth - check.title().size() + 2, ' ') + check.detail() + "\n";
    }
    report += "\n" + snapshot.summary() + "\n" + std::string(activityLogLabel) + logPath + "\n";
    if (!snapshot.log.empty()) {
        report += "\n" + snapshot.log;
        if (snapshot.log.back() != '\n') report += "\n";
    }
    return escapeControls(report);
}

std::string jsonReport(const DiagnosticsSnapshot& snapshot, const std::string& logPath) {
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    for (const AndroidDevice& device : snapshot.devices) {
        devices.push_back({{"id", device.id()}, {"state", device.state()}, {"authorized", device.isAuthorized()}});
    }
    nlohmann::ordered_json checks = nlohmann::ordered_json::array();
    for (const CheckItem& check : snapshot.checks) {
        checks.push_back({{"id", check.id().toString()},
                          {"title", check.title()},
                          {"state", std::string(rawValue(check.state()))},
                          {"detail", check.detail()}});
    }
    const nlohmann::ordered_json json{
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
        {"logPath", logPath},
    };
    // Paths come from the file system and need not be UTF-8.
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

int run(const std::string& program, const std::vector<std::string>& arguments, const Places& places,
        std::ostream& out, std::ostream& err) {
    bool asJSON = false;
    // Help and version come before everything else; the first one asked for wins.
    for (const std::string& argument : arguments) {
        if (argument == helpOption || argument == shortHelpOption) {
            return writeOut(program, out, err, usage(program), helpStatus);
        }
        if (argument == versionOption) {
            return writeOut(program, out, err, baseName(program) + " " + std::string(version()) + "\n", helpStatus);
        }
    }
    for (const std::string& argument : arguments) {
        if (argument == jsonOption) {
            asJSON = true;
        } else {
            err << baseName(program) << ": unknown option '" << argument << "'\n\n" << usage(program);
            return usageStatus;
        }
    }

    const DiagnosticsSnapshot snapshot = DiagnosticsService::buildSnapshot(places);
    const std::string logPath = CommandRunner::logInUse(places);
    return writeOut(program, out, err, asJSON ? jsonReport(snapshot, logPath) : textReport(snapshot, logPath),
                 DiagnosticsService::canStartMirror(snapshot) ? readyStatus : notReadyStatus);
}

} // namespace kelvane::doctor
