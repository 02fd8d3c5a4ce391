// A mirror's end, told as it happened: how scrcpy ended, and why, from what
// this mirror's scrcpy wrote.
#pragma once

#include "CommandRunner.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::DiagnosticsService {

// How much of what a mirror wrote is read for its reason.
inline constexpr std::size_t maxMirrorOutputRead = std::size_t{8} << 20;

// Reads what scrcpy wrote, chunk by chunk, for why a mirror failed: the
// last of its error lines that says why (not one that only says that
// something before it failed), and the first failure Kelvane knows that it
// printed. A line longer than maxLineBytes is cut there, so that memory
// stays bounded whatever scrcpy writes.
class MirrorOutputScan {
public:
    static constexpr std::size_t maxLineBytes = 4096;

    void feed(std::string_view chunk);
    // The reason, once all is fed; empty when scrcpy printed none.
    std::string reason() const;
    // The advice for the first known failure printed; empty when none.
    std::string_view advice() const;

private:
    void takeLine(std::string_view line);

    std::string partial_;
    std::string reason_;
    std::string lastError_;
    std::size_t known_ = static_cast<std::size_t>(-1);
};

// What the user is told of a mirror's end: the status line (nothing: it
// stands), the red error line (nothing: none) and the activity-log entry.
struct MirrorEndReport {
    std::optional<std::string> status;
    std::optional<std::string> error;
    std::string logEntry;

    bool operator==(const MirrorEndReport&) const = default;
};

// The report for the mirror of `serial` ended as `end` says, with the
// reason from `output` (nothing: scrcpy's output is not known). Status 0:
// closed; 2: the phone went away (scrcpy's own status for it); SIGTERM,
// SIGHUP, SIGINT, SIGKILL: stopped; another signal: a crash; any other
// status: a failed start, with the reason and advice.
MirrorEndReport mirrorEndReport(const std::string& serial, const CommandResult& end,
                                const MirrorOutputScan* output = nullptr);

// "SIGSEGV" for 11, and so on; "signal <n>" for one without a name here.
std::string signalName(int signal);

} // namespace kelvane::DiagnosticsService
