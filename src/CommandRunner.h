// Running outside programs: a time-limited run with captured output, the
// activity log, and detached launches whose output goes into that log.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

struct Places;

// The outcome of one finished outside command.
struct CommandResult {
    // Exit code; or the number of the signal that ended the child; or 127
    // when the child could not be started.
    std::int32_t status = 0;
    // Standard output and standard error as one UTF-8 text, in writing order.
    // Empty when the bytes are not valid UTF-8. On a launch failure: a
    // description that names the path and the cause.
    std::string output;

    bool operator==(const CommandResult&) const = default;
};

// What launchDetached throws; what() is the description shown to the user.
class LaunchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace CommandRunner {

// The whole environment search path of every child.
inline constexpr std::string_view childSearchPath =
    "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

// The activity log.
inline constexpr std::string_view logPath = KELVANE_LOG_PATH;

// Status of a child that could not be started.
inline constexpr std::int32_t launchFailureStatus = 127;

// How long a child that ignores the termination request at its time limit
// gets before it is killed.
inline constexpr double killGraceSeconds = 3.0;

// Runs `executable` (a path, taken literally: no shell, no search) with
// `arguments` verbatim and an environment of PATH=childSearchPath only.
// Standard output and standard error share one pipe; standard input is
// inherited. After `timeout` seconds (monotonic clock) the child gets one
// SIGTERM, and SIGKILL killGraceSeconds later if it is still there.
//
// Blocks until the child has ended and been reaped: call it off the UI thread.
// Safe to call from any number of threads at once.
CommandResult run(const std::string& executable,
                  const std::vector<std::string>& arguments, double timeout);

// Appends "[YYYY-MM-DD HH:MM:SS +0000] <message>\n" (UTC) to the activity
// log with one write(). Never fails towards the caller: an entry that cannot
// be written is dropped. Only a regular file is ever written; a symbolic link
// or anything else at the path makes the entry drop.
void appendLog(std::string_view message);
void appendLog(std::string_view message, const std::string& logFile);

// Starts `executable` with `arguments` and returns once it has started,
// without waiting for it. Environment: PATH=childSearchPath and ADB=<the adb
// that tool discovery finds now, or empty>. Standard output and standard
// error are appended to the activity log. The child runs in its own session
// and is reaped by nobody but the system: it may outlive the application.
// Throws LaunchError when the log cannot be opened or the program cannot be
// started; nothing is started then.
void launchDetached(const std::string& executable,
                    const std::vector<std::string>& arguments);
// The same with the tool places and the log file of `places`.
void launchDetached(const std::string& executable,
                    const std::vector<std::string>& arguments,
                    const Places& places);

// Strict UTF-8 check (no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequences): `bytes` itself when valid, else nothing.
std::optional<std::string> decodeUTF8(std::string bytes);

// The entry line that appendLog writes for `message` at `unixSeconds`.
std::string formatLogEntry(std::string_view message, std::int64_t unixSeconds);

} // namespace CommandRunner
} // namespace kelvane
