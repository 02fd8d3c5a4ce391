// Stand-in phones for the end-to-end tests: each one a process playing an
// Android phone on adb's TCP transport (support/standin_phone.py), connected
// to the real adb server on this machine.
#pragma once

#include "CommandRunner.h"
#include "TestSupport.h"

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kelvane::test {

// The first executable file called `name` on this process's search path;
// empty when there is none.
std::string findOnSearchPath(const std::string& name);

// `count` different ports of 127.0.0.1 that are free at the moment.
std::vector<int> freePorts(std::size_t count);

// One run of adb with `arguments`, standard output and error together.
CommandResult runADB(const std::string& adb, const std::vector<std::string>& arguments);

// The state word the real adb server lists for each mode.
enum class PhoneMode { authorized, unauthorized, offline };
std::string listedState(PhoneMode mode);

class StandinPhone {
public:
    // Starts the phone process on `port` of 127.0.0.1 (0: a free one) and
    // waits until it listens. Throws std::runtime_error when it does not
    // come up.
    StandinPhone(std::string python, std::string script, std::string adb, PhoneMode mode, bool lingguang,
                 int port = 0, bool wifi = true);
    // Disconnects the phone from the adb server, then ends its process: a
    // phone that vanished while connected would stay listed.
    ~StandinPhone();
    StandinPhone(const StandinPhone&) = delete;
    StandinPhone& operator=(const StandinPhone&) = delete;

    // "127.0.0.1:PORT", the serial adb knows the phone by.
    const std::string& serial() const { return serial_; }
    PhoneMode mode() const { return mode_; }

    // `adb connect` for this phone. An offline phone never answers, and the
    // server waits about ten seconds for it: there the command is left
    // running in the background, to be ended by the disconnect. Returns the
    // command's output, or nothing for the offline phone.
    std::string connect();

    // Every service line the phone was asked to open, in order.
    std::vector<std::string> services() const;

    // The user approves USB debugging: an unauthorized phone becomes one.
    void approve() const;

private:
    std::string adb_;
    PhoneMode mode_;
    TempDir dir_;
    pid_t pid_ = -1;
    std::string serial_;
    std::thread pendingConnect_;
};

} // namespace kelvane::test
