// Phones over Wi-Fi: switching a phone attached by USB to adb over TCP,
// connecting to one by address, and pairing with one that offers wireless
// debugging; each a few adb commands, and what their output means.
#pragma once

#include "CommandResult.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::Wireless {

// The port a phone switched from USB listens on.
inline constexpr int defaultPort = 5555;
// The first platform-tools release whose adb has `adb pair`.
inline constexpr int firstPairingRelease = 30;

// The IPv4 address in the output of `ip -f inet addr show wlan0` (its
// "inet a.b.c.d/nn" line), or nothing when the interface has none.
std::optional<std::string> wifiAddress(std::string_view ipOutput);

// Whether the adb whose `adb version` printed `versionOutput` has `adb pair`
// (its "Version NN..." line names release 30 or later).
bool canPair(std::string_view versionOutput);

// "host" or "host:port" with the default port added where none is given;
// nothing when it holds no host or a port that is not a number from 1 to
// 65535, or blanks.
std::optional<std::string> withPort(std::string_view address, int port = defaultPort);

// What went wrong in a step.
enum class Failure {
    none,
    adbMissing,
    notOnWiFi,          // the phone has no Wi-Fi address
    unreachable,        // connect refused, timed out or without a route
    unknownHost,        // the name does not resolve
    notAuthorized,      // the phone did not accept this computer
    wrongCode,          // the pairing code was refused
    pairingClosed,      // the pairing port no longer answers
    pairingUnsupported, // this adb has no `adb pair`
    noAnswer,           // adb's time limit ended the step
    badAddress,         // what the user typed is not an address
    other,
};

// A stable name for scripts: "none", "adb-missing", "not-on-wifi", ...
std::string_view failureName(Failure failure);

// The failure shown by the output of `adb connect` (which exits with 0
// either way), of `adb pair`, and of `adb tcpip`.
Failure judgeConnect(const CommandResult& result);
Failure judgePair(const CommandResult& result);

// One request, from the window's dialog or kelvane-doctor's options.
struct Request {
    enum class Kind { switchToWiFi, connect, pair };
    Kind kind = Kind::connect;
    // switchToWiFi: the phone's USB serial; connect: "host[:port]";
    // pair: "host:pairing port".
    std::string target;
    // pair: the six-digit code the phone shows.
    std::string code;
    // pair: where to connect once paired ("host:port"; empty: pairing only).
    std::string connectTo;
    // switchToWiFi: the port the phone is asked to listen on.
    int port = defaultPort;
};

// How a request ended.
struct Outcome {
    Failure failure = Failure::none;
    // The network device now connected ("192.168.1.20:5555"), if any.
    std::optional<std::string> serial;
    // One sentence: what happened, and on failure what to do.
    std::string message;
    // Every command run, as "$ adb connect 192.168.1.20:5555" and its output.
    std::string transcript;
    bool succeeded() const { return failure == Failure::none; }
};

// Runs adb with the given arguments (blocking, with its time limit).
using RunADB = std::function<CommandResult(const std::vector<std::string>& arguments)>;

// Carries out `request`, one command after another, stopping at the first
// failure. Blocks: call it off the UI thread.
Outcome carryOut(const Request& request, const RunADB& adb);

// The outcome of any request where no adb is found.
Outcome withoutADB();

// The activity log's entry for an outcome: "Wi-Fi: " and its sentence, then
// its commands.
std::string logEntry(const Outcome& outcome);

// The sentence for a failure of a step aimed at `target`; `output`: what
// the failing command printed, for the failures without advice of their own.
std::string failureMessage(Failure failure, const std::string& target, const std::string& output);

} // namespace kelvane::Wireless
