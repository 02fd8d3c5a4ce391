// A request to stop, from any thread or a signal handler: what cuts a run,
// a pass or a watch short.
#pragma once

#include "FileDescriptor.h"

#include <atomic>

namespace kelvane::CommandRunner {

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

} // namespace kelvane::CommandRunner
