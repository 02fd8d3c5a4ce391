// kelvane-doctor: one diagnostics pass for terminals, SSH sessions and
// scripts, printed as text or JSON.
#pragma once

#include "CommandRunner.h"
#include "DiagnosticsService.h"
#include "Models.h"
#include "Wireless.h"

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::doctor {

// Exit statuses.
inline constexpr int readyStatus = 0;     // a mirror could start
inline constexpr int notReadyStatus = 1;  // something is missing
inline constexpr int usageStatus = 2;     // the command line was not understood
inline constexpr int unwrittenStatus = 3; // the report could not be written
inline constexpr int wirelessFailedStatus = 4; // --connect or --pair failed
inline constexpr int stoppedStatus = 130; // stopped before any report, as by Ctrl+C

// This build's version, "MAJOR.MINOR.PATCH".
std::string_view version();

// The help text; `program` is the name the user typed.
std::string usage(const std::string& program);

// The four rows (state, title, detail), the summary, the activity log the
// pass wrote (`logPath`; empty: none) and the transcript. Control characters other than
// line feed and tab (text from the phone may hold terminal escapes) are
// shown as \xHH, one per byte.
std::string textReport(const DiagnosticsSnapshot& snapshot, const std::string& logPath);

// The snapshot as a JSON object, with its summary, whether a mirror could
// start and the activity log the pass wrote; on one line when `oneLine`.
// Bytes that are not UTF-8 are replaced, never fatal.
// Its checks' ids name the rows: "adb", "scrcpy", "device", "lingguang".
// With a `time`, a "time" member comes first.
std::string jsonReport(const DiagnosticsSnapshot& snapshot, const std::string& logPath, bool oneLine = false,
                       const std::string& time = {});

// Ends a run, from any thread or a signal handler: the pass under way is
// abandoned (its adb command ended, nothing reported or logged for it), and
// --watch stops following.
class Watch {
public:
    // Safe in a signal handler.
    void stop() { stop_.request(); }
    const CommandRunner::StopSignal& stopSignal() const { return stop_; }

private:
    CommandRunner::StopSignal stop_;
};

// The outcome of --connect or --pair: the commands' transcript and the
// outcome's sentence; or a JSON object of them on one line.
std::string wirelessTextReport(const Wireless::Outcome& outcome);
std::string wirelessJSONReport(const Wireless::Outcome& outcome);

// The whole program: `arguments` without the program name. With --connect
// or --pair, carries out that request instead of a pass (Wi-Fi). Runs one
// diagnostics pass over `places` unless asked for help or the version or
// given an unknown option, and gives the exit status. What `out` refuses to
// take is told on `err` and gives unwrittenStatus. With --watch, it then
// follows adb's device list and runs and prints a pass each time the list
// changes (as a guest of adb's server: these passes never start or replace
// it), until `watch` is stopped; the status is then the last report's.
// Stopped during a pass, it reports nothing for it and gives
// stoppedStatus when there was no report at all.
int run(const std::string& program, const std::vector<std::string>& arguments, const Places& places,
        std::ostream& out, std::ostream& err, Watch* watch = nullptr);

} // namespace kelvane::doctor
