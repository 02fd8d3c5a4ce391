// Small helpers shared by the tests: temporary directories, scripts, files,
// stand-in tools and the activity log's entries.
#pragma once

#include "DiagnosticsService.h"
#include "DiagnosticsViewModel.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kelvane::test {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string operator/(const std::string& name) const;

private:
    std::string path_;
};

// Writes `contents` to `path` (parent directories created) with `mode`.
void writeFile(const std::string& path, const std::string& contents, mode_t mode = 0644);
// Writes an executable /bin/sh script: "#!/bin/sh\n" + body.
void writeScript(const std::string& path, const std::string& body);
// The whole file, or the empty text when it cannot be read.
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// The lines of `text`, without their line feeds.
std::vector<std::string> lines(const std::string& text);

// This process's environment is exactly `variables` ("NAME=value") until
// destruction, which restores the one before.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::vector<std::string>& variables);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::vector<std::string> saved_;
};

// ---- The activity log ------------------------------------------------------

// The time stamp that opens every entry, as a regular expression.
inline constexpr const char* logStampPattern = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000\] )";
// Whether `log` is exactly one entry for each of `messages` (taken
// literally, any time stamps), in order, followed by `rest`.
bool isLogOf(const std::string& log, const std::vector<std::string>& messages, const std::string& rest = "");
// Places that find no tools and log into `log`.
Places placesLoggingTo(const std::string& log);

// ---- Stand-in tools ----------------------------------------------------------

// A stand-in adb: a shell script that records every call and answers with
// what the test gives it. A call is known by its word: the first argument
// ("start-server", "devices"), or for "-s SERIAL shell WORD ..." the word
// after "shell" ("pm", "monkey"), or that word, "@" and SERIAL where it has an
// answer of its own. A word without an answer prints nothing and exits with
// 0. Answers may change between calls.
class StandInADB {
public:
    using Call = std::vector<std::string>;
    struct Answer {
        std::string output;
        int status = 0;
        double delaySeconds = 0;
        int signal = 0; // sent to itself after the output, instead of exiting
    };

    // A stand-in for `path`; its answers and record are kept in `path`.state.
    explicit StandInADB(std::string path);
    // Writes the script to `path` (parent directories created).
    void install() const;
    const std::string& path() const { return path_; }

    void answer(const std::string& word, const Answer& answer) const;
    // Calls with `word` wait while it is held (30 s at most, then exit 9).
    void hold(const std::string& word) const;
    void release(const std::string& word) const;

    // The arguments of every call so far, in order.
    std::vector<Call> calls() const;

private:
    std::string path_;
    std::string state_;
};

// A stand-in scrcpy: writes its arguments (one a line) to `path`-arguments
// and its environment to `path`-environment, then prints
// "stand-in scrcpy: " and its arguments.
void installStandInScrcpy(const std::string& path);

// A stand-in adb server on a free port of 127.0.0.1, served by a thread of
// this process: it answers host:version with its version (or nothing at all
// while silent), accepts host:track-devices and sends there the lists the
// test gives, the latest one first; any other request is refused.
class StandInADBServer {
public:
    explicit StandInADBServer(int version = 41);
    ~StandInADBServer();
    StandInADBServer(const StandInADBServer&) = delete;
    StandInADBServer& operator=(const StandInADBServer&) = delete;

    ADBServerAddress address() const;
    // Sends `list` on every track-devices connection.
    void send(const std::vector<AndroidDevice>& list);
    // Ends every connection, as a server that quits does, and answers as a
    // server of `version` from now on; `silent`: as a program that never
    // answers.
    void restart(int version, bool silent = false);
    // How many connections asked for host:track-devices so far.
    int trackings() const;

private:
    void serve();

    mutable std::mutex mutex_;
    FileDescriptor listener_;
    FileDescriptor stopRead_, stopWrite_;
    int port_ = 0;
    int version_;
    bool silent_ = false;
    int trackings_ = 0;
    // The latest list as sent: an empty one to begin with.
    std::string latest_;
    std::vector<FileDescriptor> connections_;
    std::thread thread_;
};

// A machine of its own in a fresh directory: a bundle root whose adb is a
// stand-in (installed by installADB), a stand-in scrcpy, an activity log.
class StandInMachine : public TempDir {
public:
    explicit StandInMachine(const std::string& bundleName = "Kelvane.app");
    // Installs the bundled adb, answering `devices` and the package query.
    void installADB(const std::string& devicesOutput, const std::string& pmOutput = "") const;
    std::string activityLog() const { return readFile(places.logPath); }

    Places places;
    StandInADB adb; // the bundled adb
};

// The model's real services, pointed at `places` (the tools found there,
// adb's server and the activity log).
ViewModelServices realServices(const Places& places);

// Polls `condition` every few milliseconds until it holds or `seconds` pass.
template <typename Condition>
bool eventually(Condition condition, double seconds = 10.0);

// Monotonic seconds.
double now();

// A UI thread for the core's operations: any thread may post tasks, and the
// test's own thread, which drains the queue, is the UI thread.
class UIQueue {
public:
    void post(std::function<void()> task);
    // Runs posted tasks on this thread until `done` holds; false when
    // `seconds` pass first.
    bool runUntil(const std::function<bool()>& done, double seconds = 20.0);

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> tasks_;
};

} // namespace kelvane::test

#include <chrono>
#include <thread>

template <typename Condition>
bool kelvane::test::eventually(Condition condition, double seconds) {
    const double deadline = now() + seconds;
    while (!condition()) {
        if (now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
