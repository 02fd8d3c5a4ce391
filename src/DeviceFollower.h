// Following adb's device list as a guest of adb's server: a connection to
// the server that runs, on which it sends its list whenever a phone comes,
// goes or changes its state. No child process, and no server started,
// stopped or replaced.
#pragma once

#include "ADBServer.h"
#include "Models.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvane {

// Something that follows adb's device list until it is destroyed.
class Following {
public:
    virtual ~Following() = default;
    // Looks for adb's server now rather than after the pause: one may have
    // just been started.
    virtual void recheck() {}
};

class DeviceFollower : public Following {
public:
    // A server of another version than this adb's, holding adb's port.
    struct OtherServer {
        int version = 0;
        int ownVersion = 0;
        std::optional<PortHolder> holder;
    };
    // Told on the follower's own thread, never after destruction.
    struct Listener {
        // adb's device list: the server's first, and then the latest at
        // most once per shortestInterval, so that a list changing faster
        // than that is told at that rate, and its last state always.
        std::function<void(std::vector<AndroidDevice>)> devices;
        // The server that answers is another adb's, of another version: it
        // is not followed (following it would let its version's clients and
        // this adb's replace each other's servers). Told once for each
        // such server met.
        std::function<void(const OtherServer&)> otherServer;
    };
    struct Timing {
        // While no server of this adb's version answers, it is looked for
        // again after a pause that doubles from firstPause to longestPause;
        // a server followed for settledAfter seconds starts the count anew.
        double firstPause = 1;
        double longestPause = 30;
        double settledAfter = 60;
        double shortestInterval = 0.5;
    };

    // Follows the server at `address` for the adb at `adbPath`, whose own
    // version (`adb version`) tells its server from another's. Throws when
    // no thread can be had.
    DeviceFollower(std::string adbPath, ADBServerAddress address, Listener listener, Timing timing);
    DeviceFollower(std::string adbPath, ADBServerAddress address, Listener listener)
        : DeviceFollower(std::move(adbPath), std::move(address), std::move(listener), Timing{}) {}
    // Stops at once without waiting: the follower's thread winds down on
    // its own (ending an `adb version` it may still run), and tells nothing
    // more.
    ~DeviceFollower() override;
    DeviceFollower(const DeviceFollower&) = delete;
    DeviceFollower& operator=(const DeviceFollower&) = delete;

    void recheck() override;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

} // namespace kelvane
