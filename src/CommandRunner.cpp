// A time-limited run of an outside program with its output captured, and
// the stop that can cut it short.
#include "CommandRunner.h"

#include "ChildProcess.h"
#include "FileDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <poll.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace kelvane::CommandRunner {
namespace {

using namespace process;

// Time limits longer than this (about 31 years) never expire, which keeps the
// deadline arithmetic far from overflowing the clock.
constexpr double longestLimitSeconds = 1e9;

// Tells when a child has ended without reaping it, so that the output pipe
// and the child's end can be awaited together. (Building with
// KELVANE_PORTABLE_POSIX exercises the portable polling path on Linux.)
class ChildWatch {
public:
    explicit ChildWatch([[maybe_unused]] pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open) && !defined(KELVANE_PORTABLE_POSIX)
        const long fd = ::syscall(SYS_pidfd_open, pid, 0);
        if (fd >= 0) pidfd_.reset(static_cast<int>(fd));
#endif
    }

    // A descriptor that becomes readable when the child ends, if the system
    // has one; otherwise the caller polls with short sleeps.
    int descriptor() const { return pidfd_.get(); }

private:
    FileDescriptor pidfd_;
};

// Where a child's output goes, chunk by chunk.
using OutputSink = std::function<void(std::string_view)>;

// Reads what the pipe holds without blocking into `sink`. A bounded number of
// reads per call, so that a child that writes without pause cannot keep the
// caller from its deadlines. Returns false at end of file.
bool readOutput(int fd, const OutputSink& sink) {
    char chunk[64 * 1024];
    for (int reads = 0; reads < 16; ++reads) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count > 0) {
            sink(std::string_view(chunk, static_cast<std::size_t>(count)));
        } else if (count == 0) {
            return false;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }
    return true;
}

// How a supervised child ended.
struct Supervised {
    int waitStatus = 0;
    // Whether its time limit ended it.
    bool timedOut = false;
};

// Watches the started child `pid` until it has ended and been reaped,
// handing what comes through `readEnd` to `sink` meanwhile. At `terminateAt`
// (monotonic clock) it gets one SIGTERM, and SIGKILL killGraceSeconds later
// if it is still there; once `stopFd` (-1: none) becomes readable, SIGTERM
// at once and SIGKILL stopGraceSeconds later. Where the system has no
// descriptor for a child's end, its end is polled for, at most 20 ms apart.
// `waiting`, if given, is told about once a second how long the child has
// run.
Supervised supervise(pid_t pid, FileDescriptor& readEnd, Clock::time_point terminateAt, int stopFd,
                     const OutputSink& sink, const Waiting& waiting) {
    const Clock::time_point started = Clock::now();
    Clock::time_point nextTick = started + std::chrono::seconds(1);
    setNonBlocking(readEnd.get(), true);
    const auto after = [](Clock::time_point moment, double seconds) {
        return moment == Clock::time_point::max()
                   ? moment
                   : moment + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    Clock::time_point killAt = after(terminateAt, killGraceSeconds);

    ChildWatch watch(pid);
    Supervised end;
    bool terminated = false;
    bool stopped = false;
    bool pipeOpen = true;
    bool killSent = false;
    // Without a descriptor for the child's end, poll with short, growing
    // sleeps.
    int fallbackSleepMs = 1;

    for (;;) {
        if (tryReap(pid, end.waitStatus)) break;

        // The child has not been reaped, so its process number is still its
        // own: signalling it cannot reach another process.
        const Clock::time_point now = Clock::now();
        if (!terminated && now >= terminateAt) {
            ::kill(pid, SIGTERM);
            terminated = true;
            end.timedOut = !stopped;
        }
        if (!killSent && now >= killAt) {
            ::kill(pid, SIGKILL);
            killSent = true;
        }

        if (waiting && now >= nextTick) {
            waiting(std::chrono::duration<double>(now - started).count());
            nextTick += std::chrono::seconds(1);
        }
        Clock::time_point nextDeadline = !terminated ? terminateAt : (!killSent ? killAt : Clock::time_point::max());
        if (waiting) nextDeadline = std::min(nextDeadline, nextTick);
        int waitMs = -1;
        if (nextDeadline != Clock::time_point::max()) {
            const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(nextDeadline - Clock::now()).count();
            waitMs = static_cast<int>(std::clamp<long long>(remaining, 0, 60 * 60 * 1000));
        }

        pollfd fds[3];
        nfds_t count = 0;
        const int pipeIndex = pipeOpen ? static_cast<int>(count++) : -1;
        if (pipeIndex >= 0) fds[pipeIndex] = {readEnd.get(), POLLIN, 0};
        const int stopIndex = stopFd >= 0 && !terminated ? static_cast<int>(count++) : -1;
        if (stopIndex >= 0) fds[stopIndex] = {stopFd, POLLIN, 0};
        if (watch.descriptor() >= 0) {
            fds[count++] = {watch.descriptor(), POLLIN, 0};
        } else {
            waitMs = waitMs < 0 ? fallbackSleepMs : std::min(waitMs, fallbackSleepMs);
            fallbackSleepMs = std::min(fallbackSleepMs * 2, 20);
        }
        const int ready = ::poll(fds, count, waitMs);
        if (ready < 0 && errno != EINTR) {
            // Should not happen; avoid spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (ready > 0 && pipeIndex >= 0 && (fds[pipeIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
            pipeOpen = readOutput(readEnd.get(), sink);
            fallbackSleepMs = 1;
        }
        if (ready > 0 && stopIndex >= 0 && (fds[stopIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
            stopped = true;
            terminateAt = Clock::now();
            killAt = after(terminateAt, stopGraceSeconds);
        }
    }

    // Whatever is already in the pipe belongs to the output. A grandchild
    // that keeps the pipe open does not hold the end back.
    if (pipeOpen) readOutput(readEnd.get(), sink);
    return end;
}

} // namespace

// ---- run -------------------------------------------------------------------

CommandResult run(const std::string& executable, const std::vector<std::string>& arguments, double timeout,
                  const StopSignal* stop, const Waiting& waiting) {
    const Clock::time_point start = Clock::now();
    reapUnwatchedChildren();

    FileDescriptor readEnd, writeEnd;
    if (const int pipeError = makePipe(readEnd, writeEnd); pipeError != 0) {
        return {launchFailureStatus, launchErrorText(executable, pipeError)};
    }

    Environment environment = childEnvironment(false);

    pid_t pid = 0;
    const int spawnError = spawnBoundChild(pid, executable, arguments, environment, writeEnd.get());
    writeEnd.reset();
    if (spawnError != 0) return {launchFailureStatus, launchErrorText(executable, spawnError)};

    // Deadlines on the monotonic clock. A limit that is not a number counts
    // as zero; an infinite or very long one never expires.
    using Seconds = std::chrono::duration<double>;
    const double limit = std::isnan(timeout) ? 0.0 : std::max(timeout, 0.0);
    const Clock::time_point terminateAt = limit <= longestLimitSeconds
                                              ? start + std::chrono::duration_cast<Clock::duration>(Seconds(limit))
                                              : Clock::time_point::max();

    // Output up to maxOutputBytes is kept, the rest read and dropped.
    std::string output;
    const Supervised end =
        supervise(pid, readEnd, terminateAt, stop ? stop->descriptor() : -1, [&output](std::string_view chunk) {
            output.append(chunk.substr(0, maxOutputBytes - std::min(output.size(), maxOutputBytes)));
        }, waiting);
    CommandResult result = endOf(end.waitStatus);
    result.output = decodeUTF8(std::move(output));
    result.timedOut = end.timedOut;
    return result;
}

} // namespace kelvane::CommandRunner
