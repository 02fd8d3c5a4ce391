// An owned POSIX file descriptor, and the pipes the core makes: both ends
// closed on exec, so that no child started meanwhile inherits them.
#pragma once

#include <utility>

namespace kelvane {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~FileDescriptor() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A pipe whose ends are closed on exec, non-blocking where `nonBlocking`.
// Gives 0, or the system's error number with both ends left empty.
int makePipe(FileDescriptor& readEnd, FileDescriptor& writeEnd, bool nonBlocking = false);

// Sets or clears O_NONBLOCK on `fd`.
void setNonBlocking(int fd, bool on);

} // namespace kelvane
