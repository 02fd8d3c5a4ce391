// adb's server, as a guest meets it: where it listens, what it answers on
// its socket, and which program holds its port. Connecting to the socket
// starts no server and stops none; nothing here ever asks a server to quit.
#pragma once

#include "StopSignal.h"
#include "FileDescriptor.h"
#include "Models.h"

#include <optional>
#include <string>

namespace kelvane {

// Where adb's server listens, as adb's own variables say: ADB_SERVER_SOCKET
// ("tcp:PORT", "tcp:HOST:PORT", "localfilesystem:PATH" or, on Linux,
// "localabstract:NAME"), otherwise ANDROID_ADB_SERVER_ADDRESS and
// ANDROID_ADB_SERVER_PORT; by default port 5037 of this machine.
struct ADBServerAddress {
    static constexpr int standardPort = 5037;

    // A TCP server: its host (empty: this machine's loopback) and port.
    std::string host;
    int port = standardPort;
    // Or a local socket: its path, or for an abstract one its name after a
    // NUL.
    std::string localSocket;
    // Whether the variables name a place adb itself could use.
    bool valid = true;

    // From the variables' values; null for one that is not set.
    static ADBServerAddress fromVariables(const char* serverSocket, const char* serverAddress, const char* serverPort);
    static ADBServerAddress fromEnvironment();

    // Whether the server is on this machine's TCP loopback, where the
    // program holding its port can be looked for.
    bool isLocalTCP() const;

    bool operator==(const ADBServerAddress&) const = default;
};

namespace ADBServer {

// How long a server has to answer a question, in seconds.
inline constexpr double answerTimeout = 2.0;

// What answers on adb's port.
struct Answer {
    enum class Kind {
        none,    // nothing listens
        version, // an adb server, of `version`
        silent,  // something listens but gives no adb answer in time
    };
    Kind kind = Kind::none;
    int version = 0;

    bool operator==(const Answer&) const = default;
};

// Asks whatever listens at `address` for its version (host:version). Once
// `stop` is requested it gives up and answers none.
Answer askVersion(const ADBServerAddress& address, const CommandRunner::StopSignal* stop = nullptr);

// A connection to the server at `address` on which it has accepted
// host:track-devices and will send its device lists; empty when nothing
// accepts it in time or `stop` is requested.
FileDescriptor openDeviceTracking(const ADBServerAddress& address, const CommandRunner::StopSignal* stop = nullptr);

// The program that listens on TCP `port` of this machine, as Linux tells
// below `procDir` (net/tcp, net/tcp6 and each process's fd/): of the
// processes whose descriptors this user may read (every one, for root).
// Nothing where the system does not tell, or the holder is not to be seen.
std::optional<PortHolder> findPortHolder(int port, const std::string& procDir = "/proc");

} // namespace ADBServer
} // namespace kelvane
