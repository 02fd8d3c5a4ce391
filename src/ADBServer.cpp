#include "ADBServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kelvane {

namespace {

// "5037" as a port: a whole number from 1 to 65535.
std::optional<int> portNumber(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    int port = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

} // namespace

ADBServerAddress ADBServerAddress::fromVariables(const char* serverSocket, const char* serverAddress,
                                                 const char* serverPort) {
    ADBServerAddress address;
    if (serverSocket && *serverSocket) {
        const std::string_view socket = serverSocket;
        const auto after = [&](std::string_view kind) { return socket.substr(kind.size()); };
        if (socket.starts_with("tcp:")) {
            std::string_view rest = after("tcp:");
            const std::size_t colon = rest.rfind(':');
            if (colon != std::string_view::npos) {
                std::string_view host = rest.substr(0, colon);
                if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
                address.host = std::string(host);
                rest = rest.substr(colon + 1);
            }
            const std::optional<int> port = portNumber(rest);
            address.port = port.value_or(0);
            address.valid = port.has_value();
        } else if (socket.starts_with("localfilesystem:") && socket.size() > std::string_view("localfilesystem:").size()) {
            address.localSocket = std::string(after("localfilesystem:"));
#if defined(__linux__)
        } else if (socket.starts_with("localabstract:")) {
            address.localSocket = std::string(1, '\0') + std::string(after("localabstract:"));
#endif
        } else {
            address.valid = false;
        }
        return address;
    }
    if (serverAddress && *serverAddress) address.host = serverAddress;
    if (serverPort && *serverPort) {
        const std::optional<int> port = portNumber(serverPort);
        address.port = port.value_or(0);
        address.valid = port.has_value();
    }
    return address;
}

ADBServerAddress ADBServerAddress::fromEnvironment() {
    return fromVariables(std::getenv("ADB_SERVER_SOCKET"), std::getenv("ANDROID_ADB_SERVER_ADDRESS"),
                         std::getenv("ANDROID_ADB_SERVER_PORT"));
}

bool ADBServerAddress::isLocalTCP() const {
    return valid && localSocket.empty() &&
           (host.empty() || host == "localhost" || host == "127.0.0.1" || host == "::1");
}

namespace ADBServer {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events`, `deadline` passes or `stop` is
// requested; answers whether it is ready.
bool waitFor(int fd, short events, Clock::time_point deadline, const CommandRunner::StopSignal* stop) {
    for (;;) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (remaining <= 0 || (stop && stop->requested())) return false;
        pollfd fds[2] = {{fd, events, 0}, {stop ? stop->descriptor() : -1, POLLIN, 0}};
        const int ready = ::poll(fds, stop ? 2 : 1, static_cast<int>(remaining));
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0 && fds[0].revents != 0) return true;
    }
}

// A non-blocking stream socket of `family`, closed on exec, that never
// raises SIGPIPE.
FileDescriptor openSocket(int family) {
    FileDescriptor fd(::socket(family, SOCK_STREAM, 0));
    if (!fd) return {};
    ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
    setNonBlocking(fd.get(), true);
#ifdef SO_NOSIGPIPE
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return fd;
}

// `fd` connected to `target`, or empty.
FileDescriptor connectTo(FileDescriptor fd, const sockaddr* target, socklen_t length, Clock::time_point deadline,
                         const CommandRunner::StopSignal* stop) {
    if (!fd) return {};
    if (::connect(fd.get(), target, length) == 0) return fd;
    if (errno != EINPROGRESS && errno != EINTR && errno != EAGAIN) return {};
    int error = 0;
    socklen_t size = sizeof error;
    if (!waitFor(fd.get(), POLLOUT, deadline, stop) || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
        error != 0) {
        return {};
    }
    return fd;
}

FileDescriptor connectToServer(const ADBServerAddress& address, Clock::time_point deadline,
                               const CommandRunner::StopSignal* stop) {
    if (!address.valid) return {};
    if (!address.localSocket.empty()) {
        sockaddr_un target{};
        target.sun_family = AF_UNIX;
        if (address.localSocket.size() >= sizeof target.sun_path) return {};
        std::memcpy(target.sun_path, address.localSocket.data(), address.localSocket.size());
        const bool abstract = address.localSocket.front() == '\0';
        const auto length = static_cast<socklen_t>(abstract ? offsetof(sockaddr_un, sun_path) + address.localSocket.size()
                                                            : sizeof target);
        return connectTo(openSocket(AF_UNIX), reinterpret_cast<const sockaddr*>(&target), length, deadline, stop);
    }
    // adb's own default: the IPv4 loopback.
    const std::string host = address.host.empty() ? "127.0.0.1" : address.host;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0) return {};
    FileDescriptor connected;
    for (const addrinfo* candidate = found; candidate && !connected; candidate = candidate->ai_next) {
        connected = connectTo(openSocket(candidate->ai_family), candidate->ai_addr, candidate->ai_addrlen, deadline, stop);
    }
    ::freeaddrinfo(found);
    return connected;
}

bool sendAll(int fd, std::string_view bytes, Clock::time_point deadline, const CommandRunner::StopSignal* stop) {
    while (!bytes.empty()) {
#ifdef MSG_NOSIGNAL
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
#else
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), 0);
#endif
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        } else if (sent < 0 && errno != EINTR && (errno != EAGAIN || !waitFor(fd, POLLOUT, deadline, stop))) {
            return false;
        }
    }
    return true;
}

// Exactly `count` bytes from `fd`, or nothing.
std::optional<std::string> receive(int fd, std::size_t count, Clock::time_point deadline,
                                   const CommandRunner::StopSignal* stop) {
    std::string bytes;
    while (bytes.size() < count) {
        char chunk[64];
        const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (got > 0) {
            bytes.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0 || (errno != EINTR && (errno != EAGAIN || !waitFor(fd, POLLIN, deadline, stop)))) {
            return std::nullopt;
        }
    }
    return bytes;
}

std::optional<int> hexNumber(std::string_view digits) {
    int value = 0;
    for (const char c : digits) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

// Connects and asks for the host service `service`; the connection and the
// server's four-byte status, or nothing when nothing accepts the connection.
std::optional<std::pair<FileDescriptor, std::string>> ask(const ADBServerAddress& address, std::string_view service,
                                                          const CommandRunner::StopSignal* stop) {
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(answerTimeout));
    FileDescriptor fd = connectToServer(address, deadline, stop);
    if (!fd) return std::nullopt;
    char length[5];
    std::snprintf(length, sizeof length, "%04zx", service.size());
    std::string status;
    if (sendAll(fd.get(), std::string(length) + std::string(service), deadline, stop)) {
        status = receive(fd.get(), 4, deadline, stop).value_or("");
    }
    return std::make_pair(std::move(fd), std::move(status));
}

} // namespace

Answer askVersion(const ADBServerAddress& address, const CommandRunner::StopSignal* stop) {
    auto asked = ask(address, "host:version", stop);
    if (!asked || (stop && stop->requested())) return {};
    auto& [fd, status] = *asked;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(answerTimeout));
    // adb answers "OKAY", a length and the version in hexadecimal; servers
    // of old answered the four digits alone.
    std::optional<int> version = hexNumber(status);
    if (status == "OKAY") {
        const std::optional<int> length = hexNumber(receive(fd.get(), 4, deadline, stop).value_or("-"));
        if (length && *length > 0 && *length <= 8) version = hexNumber(receive(fd.get(), std::size_t(*length), deadline, stop).value_or("-"));
    }
    if (status.size() != 4 || !version) return {Answer::Kind::silent};
    return {Answer::Kind::version, *version};
}

FileDescriptor openDeviceTracking(const ADBServerAddress& address, const CommandRunner::StopSignal* stop) {
    auto asked = ask(address, "host:track-devices", stop);
    if (!asked || asked->second != "OKAY") return {};
    return std::move(asked->first);
}

std::optional<PortHolder> findPortHolder(int port, const std::string& procDir) {
    // The listening sockets on the port, by inode: "sl local rem st ... inode".
    std::set<std::string> inodes;
    for (const char* table : {"/net/tcp", "/net/tcp6"}) {
        std::ifstream file(procDir + table);
        std::string line;
        std::getline(file, line);
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, skip, inode;
            fields >> slot >> local >> remote >> state;
            for (int i = 0; i < 5; ++i) fields >> skip;
            fields >> inode;
            const std::size_t colon = local.rfind(':');
            constexpr std::string_view listening = "0A";
            if (colon != std::string::npos && state == listening && hexNumber(local.substr(colon + 1)) == port) {
                inodes.insert("socket:[" + inode + "]");
            }
        }
    }
    if (inodes.empty()) return std::nullopt;

    DIR* processes = ::opendir(procDir.c_str());
    if (!processes) return std::nullopt;
    std::optional<PortHolder> holder;
    while (const dirent* process = ::readdir(processes)) {
        const std::string pid = process->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string base = procDir + "/" + pid;
        DIR* descriptors = ::opendir((base + "/fd").c_str());
        if (!descriptors) continue;
        bool holds = false;
        while (const dirent* descriptor = ::readdir(descriptors)) {
            char target[64];
            const ssize_t length =
                ::readlink((base + "/fd/" + descriptor->d_name).c_str(), target, sizeof target - 1);
            if (length > 0 && inodes.count(std::string(target, static_cast<std::size_t>(length))) != 0) holds = true;
            if (holds) break;
        }
        ::closedir(descriptors);
        if (!holds) continue;
        std::string program(4096, '\0');
        const ssize_t length = ::readlink((base + "/exe").c_str(), program.data(), program.size());
        program.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        if (program.empty()) std::getline(std::ifstream(base + "/comm"), program);
        holder = PortHolder{port, program, std::strtol(pid.c_str(), nullptr, 10), std::nullopt};
        break;
    }
    ::closedir(processes);
    return holder;
}

} // namespace ADBServer
} // namespace kelvane
