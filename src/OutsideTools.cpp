#include "OutsideTools.h"

namespace kelvane::DiagnosticsService {

std::vector<std::string> startServerArguments() { return {"start-server"}; }

std::vector<std::string> devicesArguments() { return {"devices"}; }

std::vector<std::string> versionArguments() { return {"version"}; }

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

} // namespace kelvane::DiagnosticsService
