// Running outside programs: a time-limited run with captured output, the
// activity log, and detached launches whose output goes into that log.
#pragma once

#include "ActivityLog.h"
#include "CommandResult.h"
#include "FileDescriptor.h"
#include "StopSignal.h"

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

namespace CommandRunner {

// How much of a child's output run keeps: the first 4 MiB. The rest is read
// and dropped, so a runaway child never blocks on a full pipe, its time limit
// still ends it, and memory stays bounded (docs/reliability.md, "Runaway
// output"). The cut is made in bytes; a character it splits shows as one
// U+FFFD, like one split by the time limit.
inline constexpr std::size_t maxOutputBytes = std::size_t{4} << 20;

// Runs `executable` (a path, taken literally: no shell, no search) with
// `arguments` verbatim and an environment of PATH=childSearchPath and, on
// Linux, adb's own variables where Kelvane's environment sets them (see
// CommandRunner.cpp, inheritedVariables).
// Standard output and standard error share one pipe; standard input is
// inherited. After `timeout` seconds (monotonic clock) the child gets one
// SIGTERM, and SIGKILL killGraceSeconds later if it is still there. A limit
// that is not a number counts as zero; an infinite one, or one of decades,
// never expires. Once `stop` (if given) is requested, the child gets
// SIGTERM at once and SIGKILL stopGraceSeconds later. `waiting`, if given,
// is told on the calling thread about once a second how many seconds the
// child has run.
//
// Blocks until the child has ended and been reaped: call it off the UI thread.
// Safe to call from any number of threads at once.
using Waiting = std::function<void(double seconds)>;
CommandResult run(const std::string& executable, const std::vector<std::string>& arguments, double timeout,
                  const StopSignal* stop = nullptr, const Waiting& waiting = {});

// What a detached program wrote to standard output and standard error, and
// nothing else: kept beside the activity log for as long as someone holds
// it.
class ProgramOutput {
public:
    explicit ProgramOutput(FileDescriptor kept = {}) : kept_(std::move(kept)) {}
    // Whether it was kept (it is not where no relay could be started).
    bool known() const { return static_cast<bool>(kept_); }
    // Hands it to `sink` from the start, in order, in chunks of at most
    // 64 KiB: at most `limit` bytes in all, so that memory stays bounded.
    void read(const std::function<void(std::string_view)>& sink, std::size_t limit) const;

private:
    FileDescriptor kept_;
};

// Told how a detached program ended (its status, as run's, with no output)
// and what it wrote. Called once, on a thread of the launcher's own.
using DetachedEnd = std::function<void(const CommandResult& end, const ProgramOutput& output)>;

// Starts `executable` with `arguments` and returns once it has started,
// without waiting for it. Environment: PATH=childSearchPath, ADB=`adbPath`
// (the adb tool discovery finds now, or empty: looked up by the caller at
// each launch) and, on Linux, the desktop session's, SDL's and adb's
// variables where Kelvane's environment sets them (ChildProcess.cpp,
// inheritedVariables), so that a graphical program reaches the user's
// display. Standard output and standard error are appended to the activity
// log that appendLog(places) writes, through a relay of their own (tee, in
// the program's session) that also keeps them apart for `ended`; when no
// log can be opened at all they are discarded, and the program starts all
// the same. The child runs in its own session and may outlive the
// application. Once it has started the launch has succeeded: a small
// thread reaps the child when it ends and tells `ended`, if given; when no
// thread can be had, the next run or launchDetached after its end reaps it,
// and `ended` is not told. Throws LaunchError, and only that, when the
// program cannot be started; nothing is started then.
void launchDetached(const std::string& executable, const std::vector<std::string>& arguments, const Places& places,
                    const std::string& adbPath, DetachedEnd ended = {});

// `bytes` as UTF-8 text: valid text unchanged; each maximal subpart of an
// ill-formed sequence (an overlong form, a surrogate, anything above
// U+10FFFF, a stray or missing continuation byte) replaced by one U+FFFD, as
// Unicode recommends. No invalid byte costs more than one replacement.
std::string decodeUTF8(std::string bytes);

} // namespace CommandRunner
} // namespace kelvane
