// Small helpers shared by the tests: temporary directories, scripts, files.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>

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
