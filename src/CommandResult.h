// What a finished outside command gives back, and the facts every child
// of Kelvane's shares.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kelvane {

// The outcome of one finished outside command.
struct CommandResult {
    // Exit code; or the number of the signal that ended the child (then
    // `signalled`); or 127 when the child could not be started; or -1 when
    // something else in this process reaped the child (a waitpid(-1)), so
    // that its end is unknown.
    std::int32_t status = 0;
    // Standard output and standard error as one UTF-8 text, in writing order:
    // the first maxOutputBytes bytes the child wrote, in which bytes that are
    // not UTF-8 show as U+FFFD (see decodeUTF8), so that the text can be a
    // little longer than the bytes were. On a launch failure: a description
    // that names the path and the cause.
    std::string output;
    // Whether run ended the child at its time limit.
    bool timedOut = false;
    // Whether a signal ended the child: `status` is its number.
    bool signalled = false;

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

// Status of a child that could not be started.
inline constexpr std::int32_t launchFailureStatus = 127;

// How long a child that ignores the termination request at its time limit
// gets before it is killed.
inline constexpr double killGraceSeconds = 3.0;
// How long a child that ignores the termination request of a stop gets:
// whoever stops a run does not wait for it long.
inline constexpr double stopGraceSeconds = 0.5;

} // namespace CommandRunner
} // namespace kelvane
