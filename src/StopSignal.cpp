#include "StopSignal.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace kelvane::CommandRunner {

using Clock = std::chrono::steady_clock;

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

} // namespace kelvane::CommandRunner
