// Running outside programs: a time-limited run with captured output, the
// activity log, and detached launches whose output goes into that log.
#pragma once

#include "FileDescriptor.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
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
    // when the child could not be started; or -1 when something else in this
    // process reaped the child (a waitpid(-1)), so that its end is unknown.
    std::int32_t status = 0;
    // Standard output and standard error as one UTF-8 text, in writing order:
    // the first maxOutputBytes bytes the child wrote, in which bytes that are
    // not UTF-8 show as U+FFFD (see decodeUTF8), so that the text can be a
    // little longer than the bytes were. On a launch failure: a description
    // that names the path and the cause.
    std::string output;
    // Whether run ended the child at its time limit.
    bool timedOut = false;

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
// How long a child that ignores the termination request of a stop gets:
// whoever stops a run does not wait for it long.
inline constexpr double stopGraceSeconds = 0.5;

// How much of a child's output run keeps: the first 4 MiB. The rest is read
// and dropped, so a runaway child never blocks on a full pipe, its time limit
// still ends it, and memory stays bounded (docs/reliability.md, "Runaway
// output"). The cut is made in bytes; a character it splits shows as one
// U+FFFD, like one split by the time limit.
inline constexpr std::size_t maxOutputBytes = std::size_t{4} << 20;

// A request to stop, made once from any thread and seen by run and by
// waitFor on any other. request() may be called in a signal handler.
class StopSignal {
public:
    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void request();
    bool requested() const { return requested_; }
    // Waits until requested or `seconds` have passed; answers whether
    // requested.
    bool waitFor(double seconds) const;
    // Readable once requested.
    int descriptor() const { return readEnd_.get(); }

private:
    FileDescriptor readEnd_;
    FileDescriptor writeEnd_;
    std::atomic<bool> requested_ = false;
};

// Runs `executable` (a path, taken literally: no shell, no search) with
// `arguments` verbatim and an environment of PATH=childSearchPath and, on
// Linux, adb's own variables where Kelvane's environment sets them (see
// CommandRunner.cpp, inheritedVariables).
// Standard output and standard error share one pipe; standard input is
// inherited. After `timeout` seconds (monotonic clock) the child gets one
// SIGTERM, and SIGKILL killGraceSeconds later if it is still there. A limit
// that is not a number counts as zero; an infinite one, or one of decades,
// never expires. Once `stop` (if given) is requested, the child gets
// SIGTERM at once and SIGKILL stopGraceSeconds later.
//
// Blocks until the child has ended and been reaped: call it off the UI thread.
// Safe to call from any number of threads at once.
CommandResult run(const std::string& executable, const std::vector<std::string>& arguments, double timeout,
                  const StopSignal* stop = nullptr);

// Appends "[YYYY-MM-DD HH:MM:SS +0000] <message>\n" (UTC) to the activity
// log with one write(). Never fails towards the caller: an entry that cannot
// be written is dropped. Only a regular file with a single name is ever
// written; a symbolic link, a file with other hard links (which may be
// someone else's file) or anything else at the path is refused.
//
// The log is the shared one (places.logPath) until that is refused once;
// from then on, for the rest of the process, it is the user's private one
// (places.privateLogPath), whose first entry says why. Without a private
// log a refused entry is dropped.
void appendLog(std::string_view message);
void appendLog(std::string_view message, const Places& places);
// The same, into exactly `logFile`: no private log takes over.
void appendLog(std::string_view message, const std::string& logFile);

// The log that appendLog(message, places) writes now: the shared one while
// it can be used (or created), otherwise the private one. Switches to the
// private log, as appendLog would, when the shared one is refused.
std::string logInUse(const Places& places);

// Why appendLog would not write the file at `path`, or nothing when it would
// (a regular file with a single name). Looks at the path itself, never at
// what a symbolic link there points to; something missing gives the system's
// words.
std::optional<std::string> logFileProblem(const std::string& path);

// Told how a detached program ended: its status (as run's), and as output
// the text that reached the activity log from its start to its end (the
// last maxEndOutputBytes of it). Other writers' entries and other programs'
// output written meanwhile are in that text too. Called once, on a thread of
// the launcher's own.
using DetachedEnd = std::function<void(const CommandResult&)>;
inline constexpr std::size_t maxEndOutputBytes = 64 * 1024;

// Starts `executable` with `arguments` and returns once it has started,
// without waiting for it. Environment: PATH=childSearchPath, ADB=<the adb
// that tool discovery finds now, or empty> and, on Linux, the desktop
// session's, SDL's and adb's variables where Kelvane's environment sets them
// (CommandRunner.cpp, inheritedVariables), so that a graphical program
// reaches the user's display. Standard output and standard error are
// appended to the activity log that appendLog(places) writes; when no log
// can be opened at all they are discarded, and the program starts all the
// same. The child runs in its own session and may outlive the application.
// Once it has started the launch has succeeded: a small thread reaps the
// child when it ends and tells `ended`, if given; when no thread can be had,
// the next run or launchDetached after its end reaps it, and `ended` is not
// told. Throws LaunchError, and only that, when the program cannot be
// started; nothing is started then.
void launchDetached(const std::string& executable,
                    const std::vector<std::string>& arguments);
// The same with the tool places and the logs of `places`.
void launchDetached(const std::string& executable,
                    const std::vector<std::string>& arguments,
                    const Places& places, DetachedEnd ended = {});

// `bytes` as UTF-8 text: valid text unchanged; each maximal subpart of an
// ill-formed sequence (an overlong form, a surrogate, anything above
// U+10FFFF, a stray or missing continuation byte) replaced by one U+FFFD, as
// Unicode recommends. No invalid byte costs more than one replacement.
std::string decodeUTF8(std::string bytes);

// The entry line that appendLog writes for `message` at `unixSeconds`.
std::string formatLogEntry(std::string_view message, std::int64_t unixSeconds);

} // namespace CommandRunner
} // namespace kelvane
