#include "DeviceFollower.h"

#include "ADBOutput.h"
#include "CommandRunner.h"
#include "FileDescriptor.h"
#include "OutsideTools.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>
#include <poll.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace kelvane {

// What the follower and its thread share: the thread holds it for as long
// as it runs, which may be longer than the follower.
struct DeviceFollower::Shared {
    Shared(Listener listener) : listener(std::move(listener)) {
        if (const int error = makePipe(recheckRead, recheckWrite, true); error != 0) {
            throw std::system_error(error, std::generic_category(), "pipe");
        }
    }

    // Tells the listener through `tell`, unless the follower is gone.
    template <typename Tell>
    void told(Tell tell) {
        const std::lock_guard lock(mutex);
        if (!open) return;
        try {
            tell(listener);
        } catch (const std::exception&) {
            // The listener's trouble; the next list may fare better.
        }
    }

    std::mutex mutex;
    bool open = true; // guarded by mutex
    const Listener listener;
    CommandRunner::StopSignal stop;
    // Readable once a recheck is asked for.
    FileDescriptor recheckRead, recheckWrite;
};

namespace {

using Clock = std::chrono::steady_clock;
using Shared = DeviceFollower::Shared;

Clock::duration seconds(double count) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(count));
}

void drain(int fd) {
    char bytes[64];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
}

enum class Woken { elapsed, stopped, recheck };

// Waits `pause` seconds, or until stopped or asked to recheck.
Woken pauseFor(Shared& shared, double pause) {
    const Clock::time_point deadline = Clock::now() + seconds(pause);
    for (;;) {
        if (shared.stop.requested()) return Woken::stopped;
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (remaining <= 0) return Woken::elapsed;
        pollfd fds[2] = {{shared.stop.descriptor(), POLLIN, 0}, {shared.recheckRead.get(), POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(std::min<long long>(remaining, 60 * 60 * 1000))) > 0 && fds[1].revents != 0) {
            drain(shared.recheckRead.get());
            return shared.stop.requested() ? Woken::stopped : Woken::recheck;
        }
    }
}

// Follows one host:track-devices connection until it ends, or until
// stopped. The latest list is told at once, or as soon as shortestInterval
// has passed since the last one told.
void track(Shared& shared, const ADBServerAddress& address, double shortestInterval) {
    const FileDescriptor connection = ADBServer::openDeviceTracking(address, &shared.stop);
    if (!connection) return;
    std::string received;
    std::optional<std::vector<AndroidDevice>> waiting;
    Clock::time_point lastTold = Clock::time_point::min();
    for (;;) {
        int waitMs = -1;
        if (waiting) {
            const auto due = std::chrono::ceil<std::chrono::milliseconds>(lastTold + seconds(shortestInterval) - Clock::now());
            waitMs = static_cast<int>(std::clamp<long long>(due.count(), 0, 60 * 1000));
        }
        pollfd fds[2] = {{connection.get(), POLLIN, 0}, {shared.stop.descriptor(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, waitMs);
        if (shared.stop.requested()) return;
        if (ready > 0 && fds[0].revents != 0) {
            char chunk[4096];
            const ssize_t count = ::read(connection.get(), chunk, sizeof chunk);
            if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) return;
            if (count > 0) received.append(chunk, static_cast<std::size_t>(count));
            auto lists = DiagnosticsService::takeDeviceLists(received);
            // Not adb's lists: no adb server at the other end.
            if (!lists) return;
            if (!lists->empty()) waiting = std::move(lists->back());
        }
        if (waiting && Clock::now() >= lastTold + seconds(shortestInterval)) {
            lastTold = Clock::now();
            shared.told([&](const DeviceFollower::Listener& listener) {
                if (listener.devices) listener.devices(std::move(*waiting));
            });
            waiting.reset();
        }
    }
}

void follow(const std::shared_ptr<Shared>& shared, const std::string& adb, const ADBServerAddress& address,
            const DeviceFollower::Timing& timing) {
    // This adb's version: a server of another is not its own.
    const std::optional<int> ownVersion = DiagnosticsService::adbProtocolVersion(
        CommandRunner::run(adb, DiagnosticsService::versionArguments(), DiagnosticsService::diagnosticsCommandTimeout,
                           &shared->stop)
            .output);
    // The other server last told of; -1: none.
    int toldOther = -1;
    double pause = timing.firstPause;
    while (!shared->stop.requested()) {
        drain(shared->recheckRead.get());
        const Clock::time_point started = Clock::now();
        const ADBServer::Answer answer = ADBServer::askVersion(address, &shared->stop);
        const bool answers = answer.kind == ADBServer::Answer::Kind::version;
        if (answers && ownVersion && answer.version != *ownVersion) {
            if (toldOther != answer.version) {
                toldOther = answer.version;
                DeviceFollower::OtherServer other{answer.version, *ownVersion, std::nullopt};
                if (address.isLocalTCP()) other.holder = ADBServer::findPortHolder(address.port);
                if (other.holder) other.holder->version = answer.version;
                shared->told([&](const DeviceFollower::Listener& listener) {
                    if (listener.otherServer) listener.otherServer(other);
                });
            }
        } else {
            toldOther = -1;
            if (answers) {
                track(*shared, address, timing.shortestInterval);
                if (Clock::now() - started >= seconds(timing.settledAfter)) pause = timing.firstPause;
            }
        }
        const Woken woken = pauseFor(*shared, pause);
        if (woken == Woken::stopped) break;
        pause = woken == Woken::recheck ? timing.firstPause : std::min(pause * 2, timing.longestPause);
    }
}

} // namespace

DeviceFollower::DeviceFollower(std::string adbPath, ADBServerAddress address, Listener listener, Timing timing)
    : shared_(std::make_shared<Shared>(std::move(listener))) {
    std::thread([shared = shared_, adbPath = std::move(adbPath), address = std::move(address), timing] {
        follow(shared, adbPath, address, timing);
    }).detach();
}

DeviceFollower::~DeviceFollower() {
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->open = false;
    }
    shared_->stop.request();
}

void DeviceFollower::recheck() {
    [[maybe_unused]] const ssize_t written = ::write(shared_->recheckWrite.get(), "", 1);
}

} // namespace kelvane
