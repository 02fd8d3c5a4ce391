#include "ChildProcess.h"

#include "FileDescriptor.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

namespace kelvane::process {
namespace {

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

} // namespace

Environment childEnvironment(bool detached) {
    Environment environment;
    environment.add("PATH", CommandRunner::childSearchPath);
    for (const InheritedVariable& variable : inheritedVariables) {
        if (!detached && !variable.forEveryChild) continue;
        if (const char* value = std::getenv(std::string(variable.name).c_str())) environment.add(variable.name, value);
    }
    return environment;
}


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
namespace {

// The child's part of spawnBoundChild, between vfork and exec: system calls
// only, on memory it may share with its parent, whose thread waits
// meanwhile. Writes its error to `failureFd` when it cannot exec.
[[noreturn]] void execBoundChild(pid_t parent, const char* path, char* const* argv, char* const* envp, int outputFd,
                                 int failureFd) {
    int error = 0;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(CommandRunner::launchFailureStatus); // the parent died before the binding
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
    ::_exit(CommandRunner::launchFailureStatus);
}

} // namespace

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
    reap(pid); // it never ran: reaped at once
    return error;
}
#else
int spawnBoundChild(pid_t& pid, const std::string& executable, const std::vector<std::string>& arguments,
                    Environment& environment, int outputFd) {
    return spawnChild(pid, executable, arguments, environment, {outputFd}, false);
}
#endif

std::string launchErrorText(const std::string& executable, int error) {
    return "Cannot start " + executable + ": " + std::strerror(error);
}

// A child's end as run tells it, from what waitpid gave.
CommandResult endOf(int waitStatus) {
    CommandResult end;
    end.signalled = WIFSIGNALED(waitStatus);
    end.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : end.signalled ? WTERMSIG(waitStatus) : waitStatus;
    return end;
}

// Whether `pid` has ended; reaps it and stores its status if so.
int reap(pid_t pid) {
    int waitStatus = 0;
    while (::waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    return waitStatus;
}

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

namespace {

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

} // namespace

void rememberUnwatched(pid_t pid) {
    UnwatchedChildren& unwatched = unwatchedChildren();
    const std::lock_guard lock(unwatched.mutex);
    unwatched.pids.push_back(pid);
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

} // namespace kelvane::process
