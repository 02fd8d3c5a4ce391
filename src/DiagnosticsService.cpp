#include "DiagnosticsService.h"

#include "CommandRunner.h"

// Placeholder bodies: replaced by the real diagnostics.
namespace kelvane {

Places Places::standard() { return Places{}; }

namespace DiagnosticsService {

std::vector<std::string> startServerArguments() { return {"start-server"}; }
std::vector<std::string> devicesArguments() { return {"devices"}; }
std::vector<std::string> packageQueryArguments(const std::string&) { return {}; }
std::vector<std::string> lingguangLaunchArguments(const std::string&) { return {}; }
std::vector<std::string> scrcpyArguments(const std::string&) { return {}; }
std::string runningBundleRoot() { return {}; }
std::optional<std::string> firstExecutable(const std::vector<std::string>&) { return std::nullopt; }
std::optional<std::string> findADBPath() { return std::nullopt; }
std::optional<std::string> findADBPath(const Places&) { return std::nullopt; }
std::string adbSourceLabel(const std::optional<std::string>&) { return "Missing"; }
std::vector<AndroidDevice> parseDevices(std::string_view) { return {}; }
std::vector<CheckItem> makeChecks(const DiagnosticsSnapshot&) { return {}; }
DiagnosticsSnapshot buildSnapshot() { return DiagnosticsSnapshot::initial(); }
DiagnosticsSnapshot buildSnapshot(const Places&) { return DiagnosticsSnapshot::initial(); }

} // namespace DiagnosticsService
} // namespace kelvane
