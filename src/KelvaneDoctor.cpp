#include "KelvaneDoctor.h"

#include "CommandRunner.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ostream>

namespace kelvane::doctor {

namespace {

// Status after showing the help or the version.
constexpr int helpStatus = 0;

constexpr std::string_view jsonOption = "--json";
constexpr std::string_view helpOption = "--help";
constexpr std::string_view shortHelpOption = "-h";
constexpr std::string_view versionOption = "--version";

// The project's version, handed in by the build.
constexpr std::string_view projectVersion = KELVANE_VERSION;

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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
           "Exit status: 0 when a mirror could start (adb and scrcpy found and at\n"
           "least one authorized device), 1 otherwise, 2 for an unknown option.\n"
           "The pass is recorded in Kelvane's activity log, " +
           std::string(CommandRunner::logPath) + ".\n";
}

std::string textReport(const DiagnosticsSnapshot& snapshot) {
    std::size_t titleWidth = 0;
    for (const CheckItem& check : snapshot.checks) titleWidth = std::max(titleWidth, check.title().size());

    std::string report;
    for (const CheckItem& check : snapshot.checks) {
        report += std::string(rawValue(check.state())) + "  " + check.title() +
                  std::string(titleWidth - check.title().size() + 2, ' ') + check.detail() + "\n";
    }
    report += "\n" + snapshot.summary() + "\n";
    if (!snapshot.log.empty()) {
        report += "\n" + snapshot.log;
        if (snapshot.log.back() != '\n') report += "\n";
    }
    return report;
}

std::string jsonReport(const DiagnosticsSnapshot& snapshot) {
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
        {"checks", checks},
        {"log", snapshot.log},
        {"summary", snapshot.summary()},
        {"canStartMirror", DiagnosticsService::canStartMirror(snapshot)},
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
            out << usage(program);
            return helpStatus;
        }
        if (argument == versionOption) {
            out << baseName(program) << ' ' << version() << '\n';
            return helpStatus;
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
    out << (asJSON ? jsonReport(snapshot) : textReport(snapshot));
    out.flush();
    return DiagnosticsService::canStartMirror(snapshot) ? readyStatus : notReadyStatus;
}

} // namespace kelvane::doctor
