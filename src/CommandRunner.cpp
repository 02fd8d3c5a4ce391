#include "CommandRunner.h"

#include "DiagnosticsService.h"

// Placeholder bodies: replaced by the real runner.
namespace kelvane::CommandRunner {

CommandResult run(const std::string&, const std::vector<std::string>&, double) { return {launchFailureStatus, "not built yet"}; }
void appendLog(std::string_view) {}
void appendLog(std::string_view, const std::string&) {}
void launchDetached(const std::string&, const std::vector<std::string>&) { throw LaunchError("not built yet"); }
void launchDetached(const std::string&, const std::vector<std::string>&, const Places&) { throw LaunchError("not built yet"); }
std::optional<std::string> decodeUTF8(std::string bytes) { return bytes; }
std::string formatLogEntry(std::string_view message, std::int64_t) { return std::string(message) + "\n"; }

} // namespace kelvane::CommandRunner
