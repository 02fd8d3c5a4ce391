// The activity log: one file that every writer extends at its end, shared
// by every user of the machine; or, where that cannot be this user's own,
// the user's private one in a place that belongs to them alone.
#pragma once

#include "FileDescriptor.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane {

struct Places;

namespace CommandRunner {

// The shared activity log.
inline constexpr std::string_view logPath = KELVANE_LOG_PATH;

// Appends "[YYYY-MM-DD HH:MM:SS +0000] <message>\n" (UTC) to the activity
// log with one write(). Never fails towards the caller: an entry that cannot
// be written is dropped.
//
// The shared log (places.logPath) is written only while it is a regular
// file of one name that belongs to this user (its owner is the effective
// user); a symbolic link, a directory, a FIFO, another user's file or a file
// with other hard links is refused, and so is a shared log whose disk is
// full. The user's private log (places.privateLogPath) then takes its place
// for the rest of the process, its first entry saying why; but only once it
// has opened: until then each entry tries the shared log again. The private
// log is made only where every directory from places.privateLogBase down to
// it belongs to this user, is no symbolic link and may be written by nobody
// else; elsewhere there is none, and a refused entry is dropped.
void appendLog(std::string_view message, const Places& places);

// The log that appendLog(message, places) writes now: the shared one while
// it can be used (or created), otherwise the private one; empty when there
// is none. Switches to the private log, as appendLog would, when the shared
// one is refused.
std::string logInUse(const Places& places);

// The log in use, open for appending, for a program's output to go into;
// nothing when there is none.
FileDescriptor openLogForOutput(const Places& places);

// Why appendLog would not write the file at `path`, or nothing when it would
// (this user's regular file with a single name). Looks at the path itself,
// never at what a symbolic link there points to; something missing gives
// the system's words.
std::optional<std::string> logFileProblem(const std::string& path);

// The entry line that appendLog writes for `message` at `unixSeconds`.
std::string formatLogEntry(std::string_view message, std::int64_t unixSeconds);

} // namespace CommandRunner
} // namespace kelvane
