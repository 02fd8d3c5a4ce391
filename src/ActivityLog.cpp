#include "ActivityLog.h"

#include "Places.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvane::CommandRunner {
namespace {

std::string errorText(int error) { return std::strerror(error); }

// Why the thing `info` describes may not serve as a log: nothing, or the
// reason. Only this user's regular file with a single name: in a shared
// directory nothing stops another user from leaving a file, a link or a
// second name of some file of theirs at the log's path.
std::optional<std::string> refusalOf(const struct stat& info) {
    if (S_ISLNK(info.st_mode)) return "it is a symbolic link";
    if (S_ISDIR(info.st_mode)) return "it is a directory";
    if (S_ISFIFO(info.st_mode)) return "it is a FIFO";
    if (!S_ISREG(info.st_mode)) return "it is not a regular file";
    if (info.st_uid != ::geteuid()) return "it is another user's file";
    if (info.st_nlink > 1) return "it has more than one hard link";
    return std::nullopt;
}

// A log open for appending, or why not: the system's error (0: a refusal of
// the log's own) and its words.
struct Opened {
    FileDescriptor fd;
    int error = 0;
    std::string refusal;
};

// Opens `path` below `directory` (AT_FDCWD: the working directory) for
// appending, creating it with `mode` when missing if `create`. Never follows
// a symbolic link and never blocks; what refusalOf refuses is refused.
Opened openForAppend(int directory, const std::string& path, bool create, mode_t mode = 0666) {
    FileDescriptor fd(::openat(directory, path.c_str(),
                               O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0), mode));
    struct stat info {};
    if (!fd) {
        const int error = errno;
        // What stands there says more than the system's words for it.
        if (::fstatat(directory, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            if (std::optional<std::string> refusal = refusalOf(info)) return {{}, error, *refusal};
        }
        return {{}, error, errorText(error)};
    }
    if (::fstat(fd.get(), &info) != 0) return {{}, errno, errorText(errno)};
    if (std::optional<std::string> refusal = refusalOf(info)) return {{}, 0, *refusal};
    setNonBlocking(fd.get(), false);
    return {std::move(fd), 0, {}};
}

// The private log, open for appending: made only where every directory from
// places.privateLogBase down to it is this user's own, no symbolic link, and
// writable by nobody else. Walked one directory at a time, each opened
// without following a link, so that nothing can be swapped in meanwhile.
Opened openPrivate(const Places& places) {
    std::string base = places.privateLogBase;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    const std::string& path = places.privateLogPath;
    if (base.empty() || path.size() <= base.size() + 1 || path.compare(0, base.size(), base) != 0 ||
        path[base.size()] != '/') {
        return {{}, ENOENT, "there is no private place for it"};
    }
    const auto ownAndClosed = [](int fd) {
        struct stat info {};
        return ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    };
    const auto notPrivate = [](const std::string& directory) {
        return Opened{{}, EPERM, directory + " is not this user's own alone"};
    };
    FileDescriptor directory(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory || !ownAndClosed(directory.get())) return notPrivate(base);
    std::string rest = path.substr(base.size() + 1);
    for (std::size_t slash; (slash = rest.find('/')) != std::string::npos; rest.erase(0, slash + 1)) {
        const std::string name = rest.substr(0, slash);
        if (name.empty() || name == ".") continue;
        ::mkdirat(directory.get(), name.c_str(), 0700);
        FileDescriptor next(::openat(directory.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next || !ownAndClosed(next.get())) return notPrivate(name);
        directory = std::move(next);
    }
    Opened log = openForAppend(directory.get(), rest, true, 0600);
    if (log.fd && !ownAndClosed(log.fd.get())) return {{}, 0, "others may write it"};
    return log;
}

// Writes the entry for `message` with one write, so that concurrent writers
// never split it. Gives 0, or the error that lost it.
int writeEntry(int fd, std::string_view message) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string entry = formatLogEntry(message, seconds);
    const ssize_t written = ::write(fd, entry.data(), entry.size());
    if (written < 0) return errno;
    // Short only when the disk fills up in the middle.
    return static_cast<std::size_t>(written) == entry.size() ? 0 : ENOSPC;
}

// The shared logs this process has refused, and why. Once the private log
// has opened in its place, a shared log stays refused for the rest of the
// run, so that the entries, the mirrors' output and what Open Log shows all
// meet in the one private log. Never destroyed: background work may still
// log while the process ends.
struct RefusedLogs {
    std::mutex mutex;
    std::map<std::string, std::string> reasons; // shared log -> why
};

RefusedLogs& refusedLogs() {
    static auto* const logs = new RefusedLogs;
    return *logs;
}

bool isRefused(const Places& places) {
    RefusedLogs& refused = refusedLogs();
    const std::lock_guard lock(refused.mutex);
    return refused.reasons.count(places.logPath) != 0;
}

struct OpenedLog {
    FileDescriptor fd;
    std::string path;
};

// The private log, in place of the shared one refused for `reason`: the
// shared one counts as refused once the private one has opened, whose first
// entry of a run says why. Nothing when the private log cannot open.
OpenedLog takePrivateLog(const Places& places, const std::string& reason) {
    RefusedLogs& refused = refusedLogs();
    // Held while the note is written, so that no entry of another thread
    // comes before it.
    const std::lock_guard lock(refused.mutex);
    Opened log = openPrivate(places);
    if (!log.fd) return {};
    if (refused.reasons.emplace(places.logPath, reason).second) {
        writeEntry(log.fd.get(), "Not using the shared activity log " + places.logPath + ": " + reason +
                                     ". This log takes its place for the rest of this run.");
    }
    return {std::move(log.fd), places.privateLogPath};
}

// The activity log of `places`, open for appending: the shared log until it
// has been refused, then the private one; nothing when neither can be used.
OpenedLog openActivityLog(const Places& places) {
    if (isRefused(places)) return {openPrivate(places).fd, places.privateLogPath};
    Opened shared = openForAppend(AT_FDCWD, places.logPath, true);
    if (shared.fd) return {std::move(shared.fd), places.logPath};
    return takePrivateLog(places, shared.refusal);
}

bool diskFull(int error) {
#ifdef EDQUOT
    if (error == EDQUOT) return true;
#endif
    return error == ENOSPC;
}

} // namespace

std::string formatLogEntry(std::string_view message, std::int64_t unixSeconds) {
    const std::time_t time = static_cast<std::time_t>(unixSeconds);
    std::tm parts{};
    ::gmtime_r(&time, &parts);
    char stamp[64];
    const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S +0000", &parts);
    std::string entry;
    entry.reserve(length + message.size() + 4);
    entry += '[';
    entry.append(stamp, length);
    entry += "] ";
    entry += message;
    entry += '\n';
    return entry;
}

void appendLog(std::string_view message, const Places& places) {
    const OpenedLog log = openActivityLog(places);
    if (!log.fd) return;
    // A shared log on a full disk gives way as a refused one does.
    if (const int error = writeEntry(log.fd.get(), message); diskFull(error) && log.path == places.logPath) {
        if (const OpenedLog other = takePrivateLog(places, errorText(error)); other.fd) writeEntry(other.fd.get(), message);
    }
}

std::string logInUse(const Places& places) {
    if (isRefused(places)) return openPrivate(places).fd ? places.privateLogPath : std::string();
    // A missing shared log is one that can be created.
    const Opened shared = openForAppend(AT_FDCWD, places.logPath, false);
    if (shared.fd || shared.error == ENOENT) return places.logPath;
    return takePrivateLog(places, shared.refusal).path;
}

FileDescriptor openLogForOutput(const Places& places) { return openActivityLog(places).fd; }

std::optional<std::string> logFileProblem(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return errorText(errno);
    return refusalOf(info);
}

} // namespace kelvane::CommandRunner
