#include "Wireless.h"

#include "ADBOutput.h"
#include "OutsideTools.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

namespace kelvane::Wireless {
namespace {

// The phone's Wi-Fi interface, and the command that shows its address.
constexpr std::string_view wifiInterface = "wlan0";
// A phone switched to TCP restarts adb's daemon on it: it may refuse a
// connection for a moment.
constexpr int connectTries = 5;
constexpr std::chrono::milliseconds connectRetryPause{1000};

// adb's words for the outcomes that matter.
constexpr std::string_view connectedWords[] = {"connected to ", "already connected to "};
constexpr std::string_view pairedWords = "Successfully paired";
constexpr std::string_view switchedWords = "restarting in TCP mode";
constexpr std::string_view unknownPairWords = "unknown command pair";
constexpr std::string_view wrongCodeWords[] = {"Wrong password", "failed to authenticate",
                                               "Unable to start pairing client"};
constexpr std::string_view unknownHostWords[] = {"failed to resolve host", "cannot resolve host"};
constexpr std::string_view unreachableWords[] = {"failed to connect", "cannot connect", "Connection refused",
                                                 "timed out", "No route to host", "unreachable"};
constexpr std::string_view notAuthorizedWords = "failed to authenticate";

bool contains(std::string_view text, std::string_view words) { return text.find(words) != std::string_view::npos; }

template <std::size_t N>
bool containsAny(std::string_view text, const std::string_view (&words)[N]) {
    return std::any_of(std::begin(words), std::end(words), [&](std::string_view w) { return contains(text, w); });
}

// Whether a line of `text` starts with `words`.
bool lineStartsWith(std::string_view text, std::string_view words) {
    for (std::size_t start = 0; start < text.size();) {
        if (text.substr(start, words.size()) == words) return true;
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return false;
}

std::string firstLine(const std::string& text) {
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return "";
    const std::size_t end = text.find_first_of("\r\n", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The transcript entry of one command, as the diagnostics show theirs,
// ready for the next one.
std::string entry(const std::vector<std::string>& arguments, const CommandResult& result) {
    std::string words;
    for (const std::string& argument : arguments) words += (words.empty() ? "" : " ") + argument;
    std::string text = DiagnosticsService::transcriptEntry(DiagnosticsService::transcriptHeading(words), result);
    if (text.back() != '\n') text += '\n';
    return text;
}

// Runs the commands of one request and keeps their transcript.
struct Steps {
    const RunADB& adb;
    Outcome outcome;

    // `shown`: the words the transcript shows instead, where they differ.
    CommandResult run(const std::vector<std::string>& arguments, const std::vector<std::string>& shown = {}) {
        const CommandResult result = adb(arguments);
        outcome.transcript += entry(shown.empty() ? arguments : shown, result);
        return result;
    }
    Outcome fail(Failure failure, const std::string& target, const std::string& output = {}) {
        outcome.failure = failure;
        outcome.message = failureMessage(failure, target, output);
        return std::move(outcome);
    }
    // adb connect, tried again while a phone that has just switched still
    // refuses. Nothing on success.
    std::optional<Outcome> connect(const std::string& address, int tries) {
        for (int attempt = 1;; ++attempt) {
            const CommandResult result = run({"connect", address});
            const Failure failure = judgeConnect(result);
            if (failure == Failure::none) {
                outcome.serial = address;
                return std::nullopt;
            }
            if (failure != Failure::unreachable || result.timedOut || attempt >= tries) {
                return fail(failure, address, result.output);
            }
            std::this_thread::sleep_for(connectRetryPause);
        }
    }
};

} // namespace

std::optional<std::string> wifiAddress(std::string_view ipOutput) {
    constexpr std::string_view mark = "inet ";
    for (std::size_t at = ipOutput.find(mark); at != std::string_view::npos; at = ipOutput.find(mark, at + 1)) {
        if (at > 0 && !std::isspace(static_cast<unsigned char>(ipOutput[at - 1]))) continue;
        const std::size_t start = at + mark.size();
        const std::size_t end = ipOutput.find_first_of("/ \t\r\n", start);
        const std::string_view address = ipOutput.substr(start, end == std::string_view::npos ? end : end - start);
        int dots = 0;
        bool valid = !address.empty();
        for (const char c : address) {
            if (c == '.') ++dots;
            else if (!std::isdigit(static_cast<unsigned char>(c))) valid = false;
        }
        if (valid && dots == 3) return std::string(address);
    }
    return std::nullopt;
}

bool canPair(std::string_view versionOutput) {
    constexpr std::string_view mark = "Version ";
    for (std::size_t at = versionOutput.find(mark); at != std::string_view::npos;
         at = versionOutput.find(mark, at + 1)) {
        if (at > 0 && versionOutput[at - 1] != '\n') continue;
        int release = 0;
        std::size_t i = at + mark.size();
        if (i >= versionOutput.size() || !std::isdigit(static_cast<unsigned char>(versionOutput[i]))) continue;
        while (i < versionOutput.size() && std::isdigit(static_cast<unsigned char>(versionOutput[i])) && release < 1000) {
            release = release * 10 + (versionOutput[i++] - '0');
        }
        return release >= firstPairingRelease;
    }
    return false;
}

std::optional<std::string> withPort(std::string_view address, int port) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!address.empty() && blank(address.front())) address.remove_prefix(1);
    while (!address.empty() && blank(address.back())) address.remove_suffix(1);
    if (address.empty() || std::any_of(address.begin(), address.end(), blank)) return std::nullopt;
    // "[v6]:port", "host:port", "host"; a bare IPv6 address has several colons.
    std::string_view host = address, portText;
    if (address.front() == '[') {
        const std::size_t close = address.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = address.substr(0, close + 1);
        if (close + 1 < address.size()) {
            if (address[close + 1] != ':') return std::nullopt;
            portText = address.substr(close + 2);
            if (portText.empty()) return std::nullopt;
        }
    } else if (const std::size_t colon = address.find(':'); colon != std::string_view::npos) {
        if (address.find(':', colon + 1) != std::string_view::npos) return "[" + std::string(address) + "]:" + std::to_string(port);
        host = address.substr(0, colon);
        portText = address.substr(colon + 1);
        if (portText.empty()) return std::nullopt;
    }
    if (host.empty() || host == "[]") return std::nullopt;
    if (!portText.empty()) {
        if (!allDigits(portText) || portText.size() > 5) return std::nullopt;
        port = std::stoi(std::string(portText));
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return std::string(host) + ":" + std::to_string(port);
}

std::string_view failureName(Failure failure) {
    switch (failure) {
    case Failure::none: return "none";
    case Failure::adbMissing: return "adb-missing";
    case Failure::notOnWiFi: return "not-on-wifi";
    case Failure::unreachable: return "unreachable";
    case Failure::unknownHost: return "unknown-host";
    case Failure::notAuthorized: return "not-authorized";
    case Failure::wrongCode: return "wrong-code";
    case Failure::pairingClosed: return "pairing-closed";
    case Failure::pairingUnsupported: return "pairing-unsupported";
    case Failure::noAnswer: return "no-answer";
    case Failure::badAddress: return "bad-address";
    case Failure::other: return "other";
    }
    return "other";
}

Failure judgeConnect(const CommandResult& result) {
    if (result.timedOut) return Failure::unreachable;
    if (std::any_of(std::begin(connectedWords), std::end(connectedWords),
                    [&](std::string_view words) { return lineStartsWith(result.output, words); })) {
        return Failure::none;
    }
    if (contains(result.output, notAuthorizedWords)) return Failure::notAuthorized;
    if (containsAny(result.output, unknownHostWords)) return Failure::unknownHost;
    if (containsAny(result.output, unreachableWords)) return Failure::unreachable;
    return Failure::other;
}

Failure judgePair(const CommandResult& result) {
    if (result.timedOut) return Failure::pairingClosed;
    if (contains(result.output, pairedWords) && result.status == 0) return Failure::none;
    if (contains(result.output, unknownPairWords)) return Failure::pairingUnsupported;
    if (containsAny(result.output, wrongCodeWords)) return Failure::wrongCode;
    if (containsAny(result.output, unknownHostWords)) return Failure::unknownHost;
    if (containsAny(result.output, unreachableWords)) return Failure::pairingClosed;
    return Failure::other;
}

std::string failureMessage(Failure failure, const std::string& target, const std::string& output) {
    switch (failure) {
    case Failure::none: return "";
    case Failure::adbMissing: return "adb is missing: install it first.";
    case Failure::notOnWiFi:
        return target + " is not on Wi-Fi. Connect the phone to the same Wi-Fi network as this computer, then try "
                        "again.";
    case Failure::unreachable:
        return "Could not reach " + target +
               ". Are the phone and this computer on the same network? Some guest and office networks keep devices "
               "apart. Check the address, and that wireless debugging is on.";
    case Failure::unknownHost:
        return "No address is known by the name in " + target + ". Enter the IP address the phone shows.";
    case Failure::notAuthorized:
        return target + " did not accept this computer. Approve the prompt on the phone (or pair with it first), then "
                        "try again.";
    case Failure::wrongCode:
        return "The phone did not accept the pairing code. Enter the code it shows now: a new one comes each time "
               "its pairing dialog opens.";
    case Failure::pairingClosed:
        return "The pairing port " + target +
               " did not answer: the code and port last only while the phone shows them. Open \"Pair device with "
               "pairing code\" on the phone again and use the new ones.";
    case Failure::pairingUnsupported:
        return "Pairing needs a newer adb (platform-tools 30 or later). A phone paired before can still connect by "
               "address.";
    case Failure::noAnswer:
        return "adb did not answer within " +
               std::to_string(static_cast<int>(DiagnosticsService::diagnosticsCommandTimeout)) +
               " seconds. Reconnect the phone, then try again.";
    case Failure::badAddress:
        return "\"" + target + "\" is not an address. Enter it as the phone shows it, for example 192.168.1.20:5555.";
    case Failure::other: {
        const std::string said = firstLine(output);
        return "adb could not reach " + target + (said.empty() ? "." : ": " + said);
    }
    }
    return "";
}

Outcome withoutADB() {
    Outcome outcome;
    outcome.failure = Failure::adbMissing;
    outcome.message = failureMessage(outcome.failure, "", "");
    return outcome;
}

std::string logEntry(const Outcome& outcome) {
    std::string entry = "Wi-Fi: " + outcome.message;
    if (!outcome.transcript.empty()) entry += "\n" + outcome.transcript;
    while (entry.back() == '\n') entry.pop_back();
    return entry;
}

Outcome carryOut(const Request& request, const RunADB& adb) {
    Steps steps{adb, {}};
    switch (request.kind) {
    case Request::Kind::switchToWiFi: {
        const std::string& serial = request.target;
        // The address first: a phone without Wi-Fi is not switched for nothing.
        const CommandResult shown =
            steps.run({"-s", serial, "shell", "ip", "-f", "inet", "addr", "show", std::string(wifiInterface)});
        if (shown.timedOut) return steps.fail(Failure::noAnswer, serial);
        const std::optional<std::string> address = wifiAddress(shown.output);
        if (!address) {
            return shown.status == 0 ? steps.fail(Failure::notOnWiFi, serial)
                                     : steps.fail(Failure::other, serial, shown.output);
        }
        const std::string port = std::to_string(request.port);
        const CommandResult switched = steps.run({"-s", serial, "tcpip", port});
        if (switched.timedOut) return steps.fail(Failure::noAnswer, serial);
        if (switched.status != 0 || !contains(switched.output, switchedWords)) {
            return steps.fail(Failure::other, serial, switched.output);
        }
        const std::string target = *address + ":" + port;
        if (std::optional<Outcome> failed = steps.connect(target, connectTries)) return std::move(*failed);
        steps.outcome.message = serial + " is now on Wi-Fi as " + target + ". The cable can go.";
        return std::move(steps.outcome);
    }
    case Request::Kind::connect: {
        const std::optional<std::string> target = withPort(request.target);
        if (!target) return steps.fail(Failure::badAddress, request.target);
        if (std::optional<Outcome> failed = steps.connect(*target, 1)) return std::move(*failed);
        steps.outcome.message = "Connected to " + *target + ".";
        return std::move(steps.outcome);
    }
    case Request::Kind::pair: {
        const std::optional<std::string> target = withPort(request.target, 0);
        if (!target) {
            // Pairing has a port of its own, which must be given.
            Outcome failed = steps.fail(Failure::badAddress, request.target);
            failed.message = "\"" + request.target +
                             "\" is not a pairing address. Enter the address and pairing port the phone shows, for "
                             "example 192.168.1.20:37099.";
            return failed;
        }
        std::string code = request.code;
        code.erase(std::remove_if(code.begin(), code.end(), [](unsigned char c) { return std::isspace(c); }),
                   code.end());
        if (!allDigits(code)) return steps.fail(Failure::wrongCode, *target);
        // The code is a secret for as long as the phone shows it: the
        // transcript, which goes into the activity log, does not show it.
        const CommandResult paired = steps.run({"pair", *target, code}, {"pair", *target, "<code>"});
        if (const Failure failure = judgePair(paired); failure != Failure::none) {
            return steps.fail(failure, *target, paired.output);
        }
        if (request.connectTo.empty()) {
            steps.outcome.message = "Paired with " + *target +
                                    ". Now connect to the address and port the phone shows under Wireless debugging.";
            return std::move(steps.outcome);
        }
        const std::optional<std::string> connectTo = withPort(request.connectTo);
        if (!connectTo) return steps.fail(Failure::badAddress, request.connectTo);
        if (std::optional<Outcome> failed = steps.connect(*connectTo, 1)) return std::move(*failed);
        steps.outcome.message = "Paired and connected to " + *connectTo + ".";
        return std::move(steps.outcome);
    }
    }
    return std::move(steps.outcome);
}

} // namespace kelvane::Wireless
