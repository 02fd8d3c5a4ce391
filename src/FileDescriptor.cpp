#include "FileDescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kelvane {

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int makePipe(FileDescriptor& readEnd, FileDescriptor& writeEnd, bool nonBlocking) {
    int fds[2];
#if defined(__linux__) && !defined(KELVANE_PORTABLE_POSIX)
    if (::pipe2(fds, O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0)) != 0) return errno;
#else
    // Children are spawned with POSIX_SPAWN_CLOEXEC_DEFAULT there, so a
    // concurrent spawn cannot inherit these ends between pipe() and fcntl().
    if (::pipe(fds) != 0) return errno;
    for (const int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (nonBlocking) setNonBlocking(fd, true);
    }
#endif
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return 0;
}

void setNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

} // namespace kelvane
