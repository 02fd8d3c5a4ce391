// Small helpers shared by the tests: temporary directories, scripts, files.
#pragma once

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
