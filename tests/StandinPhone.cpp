#include "StandinPhone.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kelvane::test {

namespace {

// Time limit of the test's own adb commands, in seconds.
constexpr double adbCommandTimeout = 15.0;
// How long a phone process gets to start listening, and to end when asked.
constexpr double phoneStartSeconds = 10.0;
constexpr double phoneStopSeconds = 5.0;

const char* modeName(PhoneMode mode) {
    switch (mode) {
    case PhoneMode::authorized: return "authorized";
    case PhoneMode::unauthorized: return "unauthorized";
    case PhoneMode::offline: return "offline";
    }
    return "";
}

bool reaped(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

void stopProcess(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (eventually([&] { return reaped(pid); }, phoneStopSeconds)) return;
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

std::string findOnSearchPath(const std::string& name) {
    const char* searchPath = std::getenv("PATH");
    std::istringstream directories(searchPath ? searchPath : "");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        if (directory.empty()) continue;
        const std::string candidate = directory + "/" + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

std::vector<int> freePorts(std::size_t count) {
    // Every socket stays bound until all ports are known, so that none is
    // handed out twice.
    std::vector<int> sockets;
    std::vector<int> ports;
    for (std::size_t i = 0; i < count; ++i) {
        const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
        if (socket < 0) break;
        sockets.push_back(socket);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(socket, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            break;
        }
        ports.push_back(ntohs(address.sin_port));
    }
    for (const int socket : sockets) ::close(socket);
    if (ports.size() != count) throw std::runtime_error("no free ports on 127.0.0.1");
    return ports;
}

CommandResult runADB(const std::string& adb, const std::vector<std::string>& arguments) {
    return CommandRunner::run(adb, arguments, adbCommandTimeout);
}

std::string listedState(PhoneMode mode) {
    return mode == PhoneMode::authorized ? "device" : modeName(mode);
}

StandinPhone::StandinPhone(std::string python, std::string script, std::string adb, PhoneMode mode, bool lingguang,
                           int port, bool wifi)
    : adb_(std::move(adb)), mode_(mode) {
    const std::string ready = dir_ / "ready";
    std::vector<std::string> words{python, script, "--port", std::to_string(port), "--mode", modeName(mode),
                                   "--record", dir_ / "services", "--ready-file", ready};
    if (lingguang) words.push_back("--lingguang");
    if (!wifi) words.push_back("--no-wifi");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const int error = ::posix_spawn(&pid_, python.c_str(), nullptr, nullptr, argv.data(), environ);
    if (error != 0) throw std::runtime_error("cannot start the stand-in phone: " + std::string(std::strerror(error)));

    bool ended = false;
    const bool listening = eventually(
        [&] {
            ended = reaped(pid_);
            return ended || exists(ready);
        },
        phoneStartSeconds);
    if (!listening || ended) {
        if (!ended) stopProcess(pid_);
        throw std::runtime_error("the stand-in phone did not start listening");
    }
    serial_ = "127.0.0.1:" + std::to_string(std::atoi(readFile(ready).c_str()));
}

StandinPhone::~StandinPhone() {
    // Also ends a pending connect of an offline phone at once.
    runADB(adb_, {"disconnect", serial_});
    if (pendingConnect_.joinable()) pendingConnect_.join();
    stopProcess(pid_);
}

std::string StandinPhone::connect() {
    if (mode_ == PhoneMode::offline) {
        pendingConnect_ = std::thread([adb = adb_, serial = serial_] { runADB(adb, {"connect", serial}); });
        return "";
    }
    return runADB(adb_, {"connect", serial_}).output;
}

std::vector<std::string> StandinPhone::services() const {
    std::vector<std::string> lines;
    std::istringstream text(readFile(dir_ / "services"));
    std::string line;
    while (std::getline(text, line)) lines.push_back(line);
    return lines;
}

void StandinPhone::approve() const { ::kill(pid_, SIGUSR1); }

} // namespace kelvane::test
