// The outside programs as Kelvane runs them: their command lines, time
// limits and the names it knows them by.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvane::DiagnosticsService {

inline constexpr std::string_view lingguangPackage = "com.antgroup.leopard.android";
inline constexpr std::string_view launcherCategory = "android.intent.category.LAUNCHER";
// Where the bundled adb lies below the bundle root.
inline constexpr std::string_view bundledADBRelativePath = KELVANE_BUNDLED_ADB_RELATIVE_PATH;
// A path holding this is the bundled adb, whatever step found it.
inline constexpr std::string_view bundledADBMarker = ".app/" KELVANE_BUNDLED_ADB_RELATIVE_PATH;

// Time limit of every adb command of a diagnostics pass, in seconds.
inline constexpr double diagnosticsCommandTimeout = 12.0;
// Time limit of the command that brings Lingguang to the front, in seconds.
inline constexpr double lingguangLaunchTimeout = 8.0;

std::vector<std::string> startServerArguments();
std::vector<std::string> devicesArguments();
// adb's own version; starts no server.
std::vector<std::string> versionArguments();
std::vector<std::string> packageQueryArguments(const std::string& serial);
std::vector<std::string> lingguangLaunchArguments(const std::string& serial);
std::vector<std::string> scrcpyArguments(const std::string& serial);

} // namespace kelvane::DiagnosticsService
