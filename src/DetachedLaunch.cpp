// Programs started to outlive the call (scrcpy): their output appended to
// the activity log through a relay that keeps it apart, and their end told.
#include "CommandRunner.h"

#include "ActivityLog.h"
#include "ChildProcess.h"
#include "FileDescriptor.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kelvane::CommandRunner {

using namespace process;

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

// Sees to it that a started detached child and its relay are reaped when
// they end, and tells `ended` how the child ended once the relay has passed
// on its output (or a moment later). Never throws: the child has started,
// whatever happens here.
void reapWhenEnded(DetachedChild child, DetachedEnd ended) noexcept {
    try {
        std::thread([pid = child.pid, relay = child.relay, kept = std::move(child.kept), ended = std::move(ended)]() mutable {
            const int waitStatus = reap(pid);
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
            if (!relayEnded) reap(relay);
        }).detach();
        return;
    } catch (const std::exception&) {
        // No thread to be had.
    }
    try {
        rememberUnwatched(child.pid);
        if (child.relay != 0) rememberUnwatched(child.relay);
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
        if (child.relay != 0) reap(child.relay);
        throw LaunchError(launchErrorText(executable, spawnError));
    }
    return child;
}

} // namespace

void launchDetached(const std::string& executable, const std::vector<std::string>& arguments, const Places& places,
                    const std::string& adbPath, DetachedEnd ended) {
    DetachedChild child;
    try {
        reapUnwatchedChildren();
        child = startDetached(executable, arguments, places, adbPath);
    } catch (const LaunchError&) {
        throw;
    } catch (const std::exception& error) {
        // Before the start, so nothing runs: out of memory, most likely.
        throw LaunchError("Cannot start " + executable + ": " + error.what());
    }
    reapWhenEnded(std::move(child), std::move(ended));
}

} // namespace kelvane::CommandRunner
