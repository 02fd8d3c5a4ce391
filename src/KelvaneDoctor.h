// kelvane-doctor: one diagnostics pass for terminals, SSH sessions and
// scripts, printed as text or JSON.
#pragma once

#include "DiagnosticsService.h"
#include "Models.h"

#include <condition_variable>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::doctor {

// Exit statuses.
inline constexpr int readyStatus = 0;     // a mirror could start
inline constexpr int notReadyStatus = 1;  // something is missing
inline constexpr int usageStatus = 2;     // the command line was not understood
inline constexpr int unwrittenStatus = 3; // the report could not be written

// This build's version, "MAJOR.MINOR.PATCH".
std::string_view version();

// The help text; `program` is the name the user typed.
std::string usage(const std::string& program);

// The four rows (state, title, detail), the summary, the activity log the
// pass wrote (`logPath`) and the transcript. Control characters other than
// line feed and tab (text from the phone may hold terminal escapes) are
// shown as \xHH, one per byte.
std::string textReport(const DiagnosticsSnapshot& snapshot, const std::string& logPath);

// The snapshot as a JSON object, with its summary, whether a mirror could
// start and the activity log the pass wrote; on one line when `oneLine`.
// Bytes that are not UTF-8 are replaced, never fatal.
std::string jsonReport(const DiagnosticsSnapshot& snapshot, const std::string& logPath, bool oneLine = false);

// Ends a --watch run from any thread: a signal's, a test's.
class Watch {
public:
    void stop();

private:
    friend class Watcher;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
};

// The whole program: `arguments` without the program name. Runs one
// diagnostics pass over `places` unless asked for help or the version or
// given an unknown option, and gives the exit status. What `out` refuses to
// take is told on `err` and gives unwrittenStatus. With --watch, it then
// follows adb's device list and runs and prints a pass each time the list
// changes, until `watch` is stopped; the status is then the last report's.
int run(const std::string& program, const std::vector<std::string>& arguments, const Places& places,
        std::ostream& out, std::ostream& err, Watch* watch = nullptr);

} // namespace kelvane::doctor
