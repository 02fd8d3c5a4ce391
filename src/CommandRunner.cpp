#include "CommandRunner.h"

#include "DiagnosticsService.h"
#include "FileDescriptor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <system_error>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

namespace kelvane::CommandRunner {
namespace {

using Clock = std::chrono::steady_clock;

// Time limits longer than this (about 31 years) never expire, which keeps the
// deadline arithmetic far from overflowing the clock.
constexpr double longestLimitSeconds = 1e9;

// ---- Small POSIX helpers ---------------------------------------------------

std::string errorText(int error) { return std::strerror(error); }

// Where a relay finds the file that keeps a detached program's output.
constexpr int keptDescriptor = 3;

// Environment strings kept alive for one spawn.
class Environment {
public:
    void add(std::string_view name, std::string_view value) {
        entries_.push_back(std::string(name) + "=" + std::string(value));
    }
    char* const* get() {
        pointers_.clear();
        for (std::string& entry : entries_) pointers_.push_back(entry.data());
        pointers_.push_back(nullptr);
        return pointers_.data();
    }

private:
    std::vector<std::string> entries_;
    std::vector<char*> pointers_;
};

// What a child takes from Kelvane's own environment besides PATH (and ADB,
// for a detached program): each variable only where it is set here, and
// nothing else. On Linux a graphical program finds the user's display, sound
// and session bus only through the desktop session's variables; SDL's two
// are the overrides scrcpy's users are told to set when its window or sound
// fails; adb's make Kelvane, scrcpy and the user's terminal talk to one and
// the same adb server, with the user's keys. ANDROID_SERIAL is left out on
// purpose: it would pick the phone behind the user's back. On macOS a
// program reaches the window server without any variable.
struct InheritedVariable {
    std::string_view name;
    // Also for the commands of run (adb's), not only for detached programs.
    bool forEveryChild;
};
#if defined(__linux__)
constexpr InheritedVariable inheritedVariables[] = {
    // The desktop session.
    {"DISPLAY", false},
    {"WAYLAND_DISPLAY", false},
    {"XAUTHORITY", false},
    {"XDG_RUNTIME_DIR", false},
    {"XDG_SESSION_TYPE", false},
    {"HOME", false},
    {"DBUS_SESSION_BUS_ADDRESS", false},
    // SDL's overrides.
    {"SDL_VIDEODRIVER", false},
    {"SDL_AUDIODRIVER", false},
    // adb's server and keys.
    {"ANDROID_ADB_SERVER_PORT", true},
    {"ANDROID_ADB_SERVER_ADDRESS", true},
    {"ADB_SERVER_SOCKET", true},
    {"ADB_VENDOR_KEYS", true},
    {"ANDROID_USER_HOME", true},
    {"ANDROID_SDK_HOME", true},
};
#else
constexpr std::array<InheritedVariable, 0> inheritedVariables{};
#endif

// The environment of a child: PATH, then what it inherits.
Environment childEnvironment(bool detached) {
    Environment environment;
    environment.add("PATH", childSearchPath);
    for (const InheritedVariable& variable : inheritedVariables) {
        if (!detached && !variable.forEveryChild) continue;
        if (const char* value = std::getenv(std::string(variable.name).c_str())) environment.add(variable.name, value);
    }
    return environment;
}

std::vector<char*> argumentVector(const std::string& executable, const std::vector<std::string>& arguments,
                                  std::vector<std::string>& storage) {
    storage.clear();
    storage.reserve(arguments.size() + 1);
    storage.push_back(executable);
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : storage) argv.push_back(argument.data());
    argv.push_back(nullptr);
    return argv;
}

// The descriptors a spawned child gets besides its inherited standard
// input: `output` as standard output and standard error, `input` (if not
// -1) as standard input, `kept` (if not -1) as descriptor 3.
struct ChildStreams {
    int output = -1;
    int input = -1;
    int kept = -1;
};

// Starts `executable` with `streams`, in a session of its own where
// `newSession`. Every child starts with default signal dispositions, an
// empty signal mask and no descriptors but those (where the system closes
// the others for a spawn, or they are closed on exec, as all of Kelvane's
// are). Returns 0 or the launch error.
int spawnChild(pid_t& pid, const std::string& executable, const std::vector<std::string>& arguments,
               Environment& environment, ChildStreams streams, bool newSession) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);

    if (streams.input >= 0) posix_spawn_file_actions_adddup2(&actions, streams.input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, streams.output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, streams.output, STDERR_FILENO);
    if (streams.kept >= 0) posix_spawn_file_actions_adddup2(&actions, streams.kept, keptDescriptor);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34)) && !defined(KELVANE_PORTABLE_POSIX)
    // Descriptors that other code opened without close-on-exec stay here.
    posix_spawn_file_actions_addclosefrom_np(&actions, (streams.kept >= 0 ? keptDescriptor : STDERR_FILENO) + 1);
#endif

    sigset_t defaults;
    sigfillset(&defaults);
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &emptyMask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
    if (streams.input < 0) posix_spawn_file_actions_addinherit_np(&actions, STDIN_FILENO);
#endif
    if (newSession) flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes, flags);

    std::vector<std::string> storage;
    std::vector<char*> argv = argumentVector(executable, arguments, storage);
    const int error = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), environment.get());

    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

#if defined(__linux__) && !defined(KELVANE_PORTABLE_POSIX)
// The child's part of spawnBoundChild, between vfork and exec: system calls
// only, on memory it may share with its parent, whose thread waits
// meanwhile. Writes its error to `failureFd` when it cannot exec.
[[noreturn]] void execBoundChild(pid_t parent, const char* path, char* const* argv, char* const* envp, int outputFd,
                                 int failureFd) {
    int error = 0;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(launchFailureStatus); // the parent died before the binding
    for (const int target : {STDOUT_FILENO, STDERR_FILENO}) {
        // The output already in its place loses close-on-exec instead.
        if (error == 0 && (outputFd == target ? ::fcntl(target, F_SETFD, 0) : ::dup2(outputFd, target)) < 0) error = errno;
    }
    // Descriptors that other code opened without close-on-exec.
#ifdef SYS_close_range
    if (failureFd <= STDERR_FILENO + 1 || ::syscall(SYS_close_range, STDERR_FILENO + 1, failureFd - 1, 0) != 0 ||
        ::syscall(SYS_close_range, failureFd + 1, ~0U, 0) != 0)
#endif
    {
        for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) {
            if (fd != failureFd) ::close(fd);
        }
    }
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &byDefault, nullptr);
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    ::sigprocmask(SIG_SETMASK, &emptyMask, nullptr);
    if (error == 0) {
        ::execve(path, argv, envp);
        error = errno;
    }
    [[maybe_unused]] const ssize_t told = ::write(failureFd, &error, sizeof error);
    ::_exit(launchFailureStatus);
}

// Starts a child of run as spawnChild does, but bound to the calling thread,
// which waits for it: should this process end without ending it (kill -9, a
// crash, a lost display), the kernel kills it too, so that no adb command of
// Kelvane's is left behind. A spawn cannot ask for that; a vfork, as cheap,
// can.
int spawnBoundChild(pid_t& pid, const std::string& executable, const std::vector<std::string>& arguments,
                    Environment& environment, int outputFd) {
    // Everything the child needs is made before: it may only make system
    // calls.
    std::vector<std::string> storage;
    std::vector<char*> argv = argumentVector(executable, arguments, storage);
    char* const* volatile envp = environment.get();
    const pid_t parent = ::getpid();
    // The exec's failure comes back through this pipe; its success closes it.
    FileDescriptor failureRead, failureWrite;
    if (const int error = makePipe(failureRead, failureWrite); error != 0) return error;
    // No handler of this process may run in the child, which shares its
    // memory: signals wait until the child has set its own.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid = ::vfork();
    if (pid == 0) execBoundChild(parent, executable.c_str(), argv.data(), envp, outputFd, failureWrite.get());
    const int forkError = pid < 0 ? errno : 0;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (forkError != 0) return forkError;
    failureWrite.reset();
    int error = 0;
    ssize_t got;
    while ((got = ::read(failureRead.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof error)) return 0;
    // It never ran: reaped at once.
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return error;
}
#endif

std::string launchErrorText(const std::string& executable, int error) {
    return "Cannot start " + executable + ": " + errorText(error);
}

// ---- Waiting for a child -----------------------------------------------------

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

// A child's end as run tells it, from what waitpid gave.
CommandResult endOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return {WEXITSTATUS(waitStatus)};
    if (WIFSIGNALED(waitStatus)) return {WTERMSIG(waitStatus), {}, false, true};
    return {waitStatus};
}

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

// Whether `pid` has ended; reaps it and stores its status if so.
bool tryReap(pid_t pid, int& waitStatus) {
    for (;;) {
        const pid_t result = ::waitpid(pid, &waitStatus, WNOHANG);
        if (result == pid) return true;
        if (result == 0) return false;
        if (errno == EINTR) continue;
        // Someone else reaped it (a waitpid(-1) elsewhere in the process).
        waitStatus = -1;
        return true;
    }
}

// Detached children that no thread waits for (none could be had when they
// were launched). Each is this process's unreaped child until it is taken
// off here, so its number cannot pass to another process meanwhile.
struct UnwatchedChildren {
    std::mutex mutex;
    std::vector<pid_t> pids;
};

// Never destroyed: a run on a thread that outlives main (a pass still under
// way when the application quits) may still reach it while the process ends.
UnwatchedChildren& unwatchedChildren() {
    static auto* const children = new UnwatchedChildren;
    return *children;
}

// Reaps those of them that have ended. Never touches another child.
void reapUnwatchedChildren() {
    UnwatchedChildren& unwatched = unwatchedChildren();
    const std::lock_guard lock(unwatched.mutex);
    std::erase_if(unwatched.pids, [](pid_t pid) {
        int status = 0;
        return tryReap(pid, status);
    });
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

// ---- StopSignal ------------------------------------------------------------

StopSignal::StopSignal() {
    if (const int error = makePipe(readEnd_, writeEnd_, true); error != 0) {
        throw std::system_error(error, std::generic_category(), "pipe");
    }
}

void StopSignal::request() {
    // One byte makes the read end readable for good; more are not needed.
    if (!requested_.exchange(true)) {
        while (::write(writeEnd_.get(), "", 1) < 0 && errno == EINTR) {
        }
    }
}

bool StopSignal::waitFor(double seconds) const {
    if (requested_) return true;
    pollfd fd{readEnd_.get(), POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (remaining <= 0) return requested_;
        if (::poll(&fd, 1, static_cast<int>(std::min<long long>(remaining, 60 * 60 * 1000))) > 0) return true;
    }
}

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
#if defined(__linux__) && !defined(KELVANE_PORTABLE_POSIX)
    const int spawnError = spawnBoundChild(pid, executable, arguments, environment, writeEnd.get());
#else
    const int spawnError = spawnChild(pid, executable, arguments, environment, {writeEnd.get()}, false);
#endif
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

// ---- Detached launch ---------------------------------------------------------

void ProgramOutput::read(const std::function<void(std::string_view)>& sink, std::size_t limit) const {
    std::string chunk(64 * 1024, '\0');
    for (off_t offset = 0; kept_ && static_cast<std::size_t>(offset) < limit;) {
        const std::size_t wanted = std::min(chunk.size(), limit - static_cast<std::size_t>(offset));
        const ssize_t count = ::pread(kept_.get(), chunk.data(), wanted, offset);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        sink(std::string_view(chunk.data(), static_cast<std::size_t>(count)));
        offset += count;
    }
}

namespace {

// The relay between a detached program and the activity log: it appends
// what the program writes to the log, and to the file on descriptor 3 that
// keeps it apart. A program of the system's, so that it lives on in the
// program's session after Kelvane has ended.
constexpr std::string_view relayProgram = "/usr/bin/tee";
std::vector<std::string> relayArguments() { return {"-a", "/dev/fd/" + std::to_string(keptDescriptor)}; }

// How long, once the program has ended, the relay gets to pass on the rest.
constexpr auto relayGrace = std::chrono::seconds(1);

// A file for keeping a program's output: made only for this user, and
// unlinked at once, so that only this process and the relay hold it.
FileDescriptor makeKeepingFile() {
    static std::atomic<unsigned> made = 0;
    const char* temporary = std::getenv("TMPDIR");
    const std::string directory = temporary && temporary[0] == '/' ? temporary : "/tmp";
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string path = directory + "/kelvane-output-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(made++) + "-" + std::to_string(Clock::now().time_since_epoch().count());
        FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd) {
            ::unlink(path.c_str());
            // Above the descriptors a spawn sets, so that moving it to its
            // place is never a no-op that keeps close-on-exec.
            FileDescriptor high(::fcntl(fd.get(), F_DUPFD_CLOEXEC, keptDescriptor + 1));
            return high ? std::move(high) : std::move(fd);
        }
        if (errno != EEXIST) break;
    }
    return {};
}

// A started detached program and its relay (0: none), with what keeps the
// program's output.
struct DetachedChild {
    pid_t pid = 0;
    pid_t relay = 0;
    FileDescriptor kept;
};

void waitFor(pid_t pid) {
    int waitStatus = 0;
    while (::waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
    }
}

// Sees to it that a started detached child and its relay are reaped when
// they end, and tells `ended` how the child ended once the relay has passed
// on its output (or a moment later). Never throws: the child has started,
// whatever happens here.
void reapWhenEnded(DetachedChild child, DetachedEnd ended) noexcept {
    try {
        std::thread([pid = child.pid, relay = child.relay, kept = std::move(child.kept), ended = std::move(ended)]() mutable {
            int waitStatus = 0;
            while (::waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
            }
            bool relayEnded = relay == 0;
            for (const auto deadline = Clock::now() + relayGrace; !relayEnded && Clock::now() < deadline;) {
                int relayStatus = 0;
                relayEnded = tryReap(relay, relayStatus);
                if (!relayEnded) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (ended) {
                try {
                    ended(endOf(waitStatus), ProgramOutput(std::move(kept)));
                } catch (const std::exception&) {
                    // Out of memory: the end goes untold.
                }
            }
            // A grandchild of the program may keep the relay going.
            if (!relayEnded) waitFor(relay);
        }).detach();
        return;
    } catch (const std::exception&) {
        // No thread to be had.
    }
    try {
        UnwatchedChildren& unwatched = unwatchedChildren();
        const std::lock_guard lock(unwatched.mutex);
        unwatched.pids.push_back(child.pid);
        if (child.relay != 0) unwatched.pids.push_back(child.relay);
    } catch (const std::exception&) {
        // Out of memory as well: the children stay zombies until the
        // application ends.
    }
}

// Starts the detached child, and its relay where the log and a keeping file
// can be had. Throws LaunchError; nothing is started when anything throws.
DetachedChild startDetached(const std::string& executable, const std::vector<std::string>& arguments,
                            const Places& places, const std::string& adbPath) {
    Environment environment = childEnvironment(true);
    environment.add("ADB", adbPath);

    // Without a log to write into, the program's output is lost, but the
    // program starts: the log is there to explain, not to be needed.
    DetachedChild child;
    FileDescriptor log = openLogForOutput(places);
    FileDescriptor output;
    if (!log) {
        output.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    } else if (FileDescriptor kept = makeKeepingFile(); kept) {
        FileDescriptor relayInput;
        Environment relayEnvironment = childEnvironment(false);
        if (makePipe(relayInput, output) == 0 &&
            spawnChild(child.relay, std::string(relayProgram), relayArguments(), relayEnvironment,
                       {log.get(), relayInput.get(), kept.get()}, true) == 0) {
            child.kept = std::move(kept);
        } else {
            output = std::move(log);
        }
    } else {
        output = std::move(log);
    }

    const int spawnError = spawnChild(child.pid, executable, arguments, environment, {output.get()}, true);
    if (spawnError != 0) {
        // The relay sees the end of its input and ends.
        output.reset();
        if (child.relay != 0) waitFor(child.relay);
        throw LaunchError(launchErrorText(executable, spawnError));
    }
    return child;
}

// launchDetached with `given` places, or the standard ones.
void launch(const std::string& executable, const std::vector<std::string>& arguments, const Places* given,
            DetachedEnd ended) {
    DetachedChild child;
    try {
        reapUnwatchedChildren();
        const Places places = given ? *given : Places::standard();
        child = startDetached(executable, arguments, places, DiagnosticsService::findADBPath(places).value_or(""));
    } catch (const LaunchError&) {
        throw;
    } catch (const std::exception& error) {
        // Before the start, so nothing runs: out of memory, most likely.
        throw LaunchError("Cannot start " + executable + ": " + error.what());
    }
    reapWhenEnded(std::move(child), std::move(ended));
}

} // namespace

void launchDetached(const std::string& executable, const std::vector<std::string>& arguments) {
    launch(executable, arguments, nullptr, {});
}

void launchDetached(const std::string& executable, const std::vector<std::string>& arguments, const Places& places,
                    DetachedEnd ended) {
    launch(executable, arguments, &places, std::move(ended));
}

// ---- UTF-8 -------------------------------------------------------------------

std::string decodeUTF8(std::string bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD"; // U+FFFD
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::string text;     // built only once something is replaced
    std::size_t kept = 0; // bytes before this are in `text`; 0 until then
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The length of the sequence `lead` begins, and the range its second
        // byte must lie in (Unicode's table of well-formed byte sequences).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;       // overlong
            else if (lead == 0xED) high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;       // overlong
            else if (lead == 0xF4) high = 0x8F; // above U+10FFFF
        }
        // How far the bytes follow a well-formed sequence.
        std::size_t matched = 1;
        while (matched < length && i + matched < size) {
            const unsigned char next = data[i + matched];
            if (next < (matched == 1 ? low : 0x80) || next > (matched == 1 ? high : 0xBF)) break;
            ++matched;
        }
        if (matched == length) {
            i += length;
            continue;
        }
        // An ill-formed sequence: its maximal subpart (the lead alone when
        // nothing can follow it) becomes one replacement character.
        text.append(bytes, kept, i - kept);
        text += replacement;
        i += matched;
        kept = i;
    }
    if (kept == 0) return bytes;
    text.append(bytes, kept);
    return text;
}

} // namespace kelvane::CommandRunner
