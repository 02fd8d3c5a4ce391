// Starting, binding and reaping children: what run and the detached launch
// share. Knows nothing of adb or of the activity log: callers hand it the
// program, the environment and the descriptors.
#pragma once

#include "CommandResult.h"

#include <chrono>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kelvane::process {

using Clock = std::chrono::steady_clock;

// Where a relay finds the file that keeps a detached program's output.
inline constexpr int keptDescriptor = 3;

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

// The environment of a child: PATH, then what it inherits of Kelvane's
// (CommandRunner::run's children less than detached ones).
Environment childEnvironment(bool detached);

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
               Environment& environment, ChildStreams streams, bool newSession);

// Starts a child of run as spawnChild does (output only), bound on Linux
// to the calling thread, which waits for it: should this process end
// without ending it, the kernel kills it too. Elsewhere: spawnChild.
int spawnBoundChild(pid_t& pid, const std::string& executable, const std::vector<std::string>& arguments,
                    Environment& environment, int outputFd);

// "Cannot start <executable>: <the system's words>".
std::string launchErrorText(const std::string& executable, int error);

// A child's end as run tells it, from what waitpid gave.
CommandResult endOf(int waitStatus);

// Whether `pid` has ended; reaps it and stores its status if so.
bool tryReap(pid_t pid, int& waitStatus);
// Waits for `pid` to end and reaps it; gives its wait status.
int reap(pid_t pid);

// Children that no thread waits for (none could be had when they were
// launched): each stays this process's unreaped child until the next run
// or launch reaps it after its end.
void rememberUnwatched(pid_t pid);
void reapUnwatchedChildren();

} // namespace kelvane::process
