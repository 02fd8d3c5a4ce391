#include "TestSupport.h"

#include "CommandRunner.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

extern char** environ;

namespace kelvane::test {

TempDir::TempDir() {
    std::string pattern = "/tmp/kelvane-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDir::operator/(const std::string& name) const { return path_ + "/" + name; }

void writeFile(const std::string& path, const std::string& contents, mode_t mode) {
    fs::create_directories(fs::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + path);
        out << contents;
    }
    ::chmod(path.c_str(), mode);
}

void writeScript(const std::string& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body, 0755);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

namespace {

// Makes the environment exactly `variables` ("NAME=value").
void replaceEnvironment(const std::vector<std::string>& variables) {
    std::vector<std::string> names;
    for (char** entry = environ; *entry; ++entry) names.emplace_back(*entry, std::strcspn(*entry, "="));
    for (const std::string& name : names) ::unsetenv(name.c_str());
    for (const std::string& variable : variables) {
        const std::size_t equals = variable.find('=');
        ::setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
    }
}

} // namespace

ScopedEnvironment::ScopedEnvironment(const std::vector<std::string>& variables) {
    for (char** entry = environ; *entry; ++entry) saved_.emplace_back(*entry);
    replaceEnvironment(variables);
}

ScopedEnvironment::~ScopedEnvironment() { replaceEnvironment(saved_); }

bool isLogOf(const std::string& log, const std::vector<std::string>& messages, const std::string& rest) {
    const auto literal = [](const std::string& text) {
        static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
        return std::regex_replace(text, special, R"(\$&)");
    };
    std::string pattern;
    for (const std::string& message : messages) pattern += logStampPattern + literal(message) + "\n";
    return std::regex_match(log, std::regex(pattern + literal(rest)));
}

Places placesLoggingTo(const std::string& log) {
    Places places{"/nonexistent-bundle", {}, {}, log};
    places.adbServer.valid = false;
    return places;
}

// The record of a call: each argument ends in a unit separator, the call in
// a record separator.
constexpr char argumentEnd = '\037';
constexpr char callEnd = '\036';

StandInADB::StandInADB(std::string path) : path_(std::move(path)), state_(path_ + ".state") {}

void StandInADB::install() const {
    fs::create_directories(state_);
    writeScript(path_, "state='" + state_ + R"sh('
end=$(printf '\037')
record=
for a in "$@"; do record="$record$a$end"; done
printf '%s\036' "$record" >> "$state/calls"
word=$1
[ "$1" = -s ] && word=$4 && [ -e "$state/$4@$2.out" ] && word="$4@$2"
n=0
while [ -e "$state/$word.held" ]; do
  n=$((n + 1)); [ $n -gt 3000 ] && exit 9
  sleep 0.01
done
[ -e "$state/$word.delay" ] && sleep "$(cat "$state/$word.delay")"
[ -e "$state/$word.out" ] && cat "$state/$word.out"
[ -e "$state/$word.signal" ] && kill -"$(cat "$state/$word.signal")" $$
exit "$(cat "$state/$word.status" 2>/dev/null || echo 0)"
)sh");
}

void StandInADB::answer(const std::string& word, const Answer& answer) const {
    const std::string stem = state_ + "/" + word;
    const auto setOrRemove = [&](const char* suffix, bool present, const std::string& value) {
        if (present) {
            writeFile(stem + suffix, value);
        } else {
            fs::remove(stem + suffix);
        }
    };
    setOrRemove(".out", true, answer.output);
    setOrRemove(".status", true, std::to_string(answer.status));
    setOrRemove(".delay", answer.delaySeconds > 0, std::to_string(answer.delaySeconds));
    setOrRemove(".signal", answer.signal != 0, std::to_string(answer.signal));
}

void StandInADB::hold(const std::string& word) const { writeFile(state_ + "/" + word + ".held", ""); }

void StandInADB::release(const std::string& word) const { fs::remove(state_ + "/" + word + ".held"); }

std::vector<StandInADB::Call> StandInADB::calls() const {
    std::vector<Call> result;
    std::istringstream record(readFile(state_ + "/calls"));
    for (std::string call; std::getline(record, call, callEnd);) {
        std::istringstream arguments(call);
        Call& parsed = result.emplace_back();
        for (std::string argument; std::getline(arguments, argument, argumentEnd);) parsed.push_back(argument);
    }
    return result;
}

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 // where sockets raise no SIGPIPE
#endif

StandInADBServer::StandInADBServer(int version) : version_(version), latest_("0000") {
    listener_.reset(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_.get(), 16) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        makePipe(stopRead_, stopWrite_) != 0) {
        throw std::runtime_error("the stand-in adb server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

StandInADBServer::~StandInADBServer() {
    stopWrite_.reset();
    thread_.join();
}

ADBServerAddress StandInADBServer::address() const {
    return ADBServerAddress::fromVariables(nullptr, "127.0.0.1", std::to_string(port_).c_str());
}

void StandInADBServer::send(const std::vector<AndroidDevice>& list) {
    std::string text;
    for (const AndroidDevice& device : list) text += device.id() + "\t" + device.state() + "\n";
    char length[5];
    std::snprintf(length, sizeof length, "%04zx", text.size());
    const std::lock_guard lock(mutex_);
    latest_ = length + text;
    for (const FileDescriptor& connection : connections_) ::send(connection.get(), latest_.data(), latest_.size(), MSG_NOSIGNAL);
}

void StandInADBServer::restart(int version, bool silent) {
    const std::lock_guard lock(mutex_);
    connections_.clear();
    version_ = version;
    silent_ = silent;
}

int StandInADBServer::trackings() const {
    const std::lock_guard lock(mutex_);
    return trackings_;
}

void StandInADBServer::serve() {
    for (pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}}; ::poll(fds, 2, -1), !fds[1].revents;) {
        FileDescriptor connection(::accept(listener_.get(), nullptr, nullptr));
        const std::lock_guard lock(mutex_);
        char request[64] = {};
        if (silent_ || ::recv(connection.get(), request, sizeof request - 1, 0) <= 4) {
            if (silent_) connections_.push_back(std::move(connection)); // held, never answered
            continue;
        }
        const std::string service = request + 4;
        char version[13];
        std::snprintf(version, sizeof version, "OKAY0004%04x", version_);
        const bool tracking = service == "host:track-devices";
        const std::string reply = service == "host:version" ? version : tracking ? "OKAY" + latest_ : "FAIL0000";
        ::send(connection.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
        if (tracking) {
            ++trackings_;
            connections_.push_back(std::move(connection));
        }
    }
}

void installStandInScrcpy(const std::string& path) {
    // On Linux the environment is the kernel's copy, which no shell has added to.
    writeScript(path, R"sh(for a in "$@"; do printf '%s\n' "$a"; done > "$0-arguments"
if [ -r /proc/$$/environ ]; then tr '\0' '\n' < /proc/$$/environ; else env; fi > "$0-environment"
echo "stand-in scrcpy: $*"
)sh");
}

StandInMachine::StandInMachine(const std::string& bundleName)
    : places{*this / bundleName, {}, {*this / "scrcpy"}, *this / "activity.log"},
      adb(places.bundleRoot + "/" + std::string(DiagnosticsService::bundledADBRelativePath)) {
    installStandInScrcpy(*this / "scrcpy");
    // No adb server of this machine's is asked, unless a test says so.
    places.adbServer.valid = false;
}

void StandInMachine::installADB(const std::string& devicesOutput, const std::string& pmOutput) const {
    adb.answer("devices", {devicesOutput});
    adb.answer("pm", {pmOutput});
    adb.install();
}

ViewModelServices realServices(const Places& places) {
    ViewModelServices services;
    services.buildSnapshot = [places](const DiagnosticsService::PassOptions& options) {
        return DiagnosticsService::runPass(places, options);
    };
    services.launchDetached = [places](const std::string& executable, const std::vector<std::string>& arguments,
                                       CommandRunner::DetachedEnd ended) {
        DiagnosticsService::launchWithADB(executable, arguments, places, std::move(ended));
    };
    services.trackDevices = [places](const std::string& adb, DeviceFollower::Listener listener) {
        return std::make_shared<DeviceFollower>(adb, places.adbServer, std::move(listener));
    };
    services.logPath = places.logPath;
    return services;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void UIQueue::post(std::function<void()> task) {
    // Told under the lock: once the task can be taken, the poster touches
    // the queue no more, and the queue may end with the test.
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    posted_.notify_one();
}

bool UIQueue::runUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!posted_.wait_until(lock, deadline, [&] { return !tasks_.empty(); })) return false;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
    return true;
}

} // namespace kelvane::test
