// Finding the tools: the places Kelvane looks for adb and scrcpy, the one
// it takes, and what the ADB row calls it.
#pragma once

#include "CommandRunner.h"
#include "Places.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::DiagnosticsService {

// The directory that stands for the running application's bundle.
std::string runningBundleRoot();
// The bundle root for the executable at `path`: X.app for X.app/Contents/MacOS/exe,
// otherwise the directory that holds the executable; empty for a path
// without a directory.
std::string bundleRootForExecutable(std::string_view path);

// The first candidate that exists and may be executed by this user (links
// followed), exactly as given; nothing when none passes.
std::optional<std::string> firstExecutable(const std::vector<std::string>& candidates);

// The adb to use: the bundled copy, then the fixed places, then the search
// path's (Linux).
std::optional<std::string> findADBPath(const Places& places);

// "Missing", "Bundled adb" or "System adb".
std::string adbSourceLabel(const std::optional<std::string>& adbPath);
// The same, or "adb on PATH" for one that only the search path of
// `places` holds.
std::string adbSourceLabel(const std::optional<std::string>& adbPath, const Places& places);

// CommandRunner::launchDetached with the tool places and logs of `places`,
// and as ADB the adb that tool discovery finds at this moment (empty when
// none).
void launchWithADB(const std::string& executable, const std::vector<std::string>& arguments, const Places& places,
                   CommandRunner::DetachedEnd ended = {});

} // namespace kelvane::DiagnosticsService
