#include "ADBOutput.h"

#include "OutsideTools.h"

#include <algorithm>
#include <cstddef>

namespace kelvane::DiagnosticsService {

namespace {

// The line of `adb devices` after which the devices are listed.
constexpr std::string_view devicesListHeading = "List of devices attached";

// How adb's own notices begin: the daemon's ("* daemon started
// successfully"), a server of another version being replaced, and adb's
// messages. No serial begins so.
constexpr std::string_view noticeStarts[] = {"* ", "adb server version (", "adb: ", "error: "};

// The pieces of `text` between `separators`, leaving out empty ones.
std::vector<std::string_view> split(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of(separators, start);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end;
        if (stop > start) parts.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    return parts;
}

// One device line's device: its first two blank- or tab-separated fields.
std::optional<AndroidDevice> deviceOf(std::string_view line) {
    const std::vector<std::string_view> fields = split(line, " \t");
    if (fields.size() < 2) return std::nullopt;
    return AndroidDevice(std::string(fields[0]), std::string(fields[1]));
}

// The line of `text` that holds the offset `at`, without its line end.
std::string_view lineAround(std::string_view text, std::size_t at) {
    const std::size_t start = text.rfind('\n', at) == std::string_view::npos ? 0 : text.rfind('\n', at) + 1;
    const std::size_t end = std::min(text.find('\n', at), text.size());
    return text.substr(start, end - start);
}

// `line` without the carriage returns and blanks that end it.
std::string_view trimmedRight(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    return line;
}

// What adb prints when its server cannot start, or when what answers on its
// port is no adb server; and of those lines, the ones that say why, the most
// telling first. (adb copies its server's startup log into its output; the
// reason is then in a line of that log.)
constexpr std::string_view serverFailureMarkers[] = {"failed to start daemon", "cannot connect to daemon",
                                                     "didn't ACK", "protocol fault"};
constexpr std::string_view tellingServerLines[] = {"Address already in use", "smartsocket", "protocol fault",
                                                   "didn't ACK", "failed to start daemon", "cannot connect to daemon"};
// How a line of adb's server log begins: "adb F 12-07 15:09:55 21109 21109 main.cpp:144] ".
constexpr std::string_view serverLogLineStart = "adb ";
constexpr std::string_view serverLogLineEnd = "] ";
// What adb prints when it replaces another adb's server of another version.
constexpr std::string_view versionClashStart = "adb server version (";
constexpr std::string_view versionClashMiddle = ") doesn't match this client (";

// The text of `text` from `from` up to the next `end`.
std::optional<std::string> between(std::string_view text, std::size_t from, std::string_view end) {
    const std::size_t stop = text.find(end, from);
    if (stop == std::string_view::npos) return std::nullopt;
    return std::string(text.substr(from, stop - from));
}

} // namespace

std::vector<AndroidDevice> parseDevices(std::string_view output) {
    // Older adb ends its heading with a blank; text from Windows with a
    // carriage return.
    const auto isHeading = [](std::string_view line) {
        const std::size_t last = line.find_last_not_of(" \t\r");
        return last != std::string_view::npos && line.substr(0, last + 1) == devicesListHeading;
    };
    const auto isNotice = [](std::string_view line) {
        return std::any_of(std::begin(noticeStarts), std::end(noticeStarts),
                           [&](std::string_view start) { return line.starts_with(start); });
    };

    // Bytes: a line feed ends a line; spaces and tabs separate fields. A
    // carriage return is an ordinary byte, but for one that ends a line.
    std::vector<AndroidDevice> devices;
    bool listing = false;
    for (std::string_view line : split(output, "\n")) {
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (isHeading(line)) {
            listing = true;
        } else if (listing && !isNotice(line)) {
            if (std::optional<AndroidDevice> device = deviceOf(line)) devices.push_back(std::move(*device));
        }
    }
    return devices;
}

std::optional<std::vector<std::vector<AndroidDevice>>> takeDeviceLists(std::string& stream) {
    constexpr std::size_t lengthDigits = 4;
    std::vector<std::vector<AndroidDevice>> lists;
    std::size_t at = 0;
    while (stream.size() - at >= lengthDigits) {
        std::size_t length = 0;
        for (std::size_t i = 0; i < lengthDigits; ++i) {
            const char digit = stream[at + i];
            const int value = digit >= '0' && digit <= '9'   ? digit - '0'
                              : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                              : digit >= 'A' && digit <= 'F' ? digit - 'A' + 10
                                                             : -1;
            if (value < 0) return std::nullopt;
            length = length * 16 + static_cast<std::size_t>(value);
        }
        if (stream.size() - at - lengthDigits < length) break;
        std::vector<AndroidDevice>& list = lists.emplace_back();
        for (const std::string_view line : split(std::string_view(stream).substr(at + lengthDigits, length), "\n")) {
            std::optional<AndroidDevice> device = deviceOf(line);
            if (line.find('\t') == std::string_view::npos || !device) return std::nullopt;
            list.push_back(std::move(*device));
        }
        at += lengthDigits + length;
    }
    stream.erase(0, at);
    return lists;
}

std::optional<int> adbProtocolVersion(std::string_view versionOutput) {
    constexpr std::string_view versionStart = "Android Debug Bridge version 1.0.";
    const std::size_t at = versionOutput.find(versionStart);
    if (at == std::string_view::npos) return std::nullopt;
    int version = 0;
    std::size_t digits = 0;
    for (std::size_t i = at + versionStart.size(); i < versionOutput.size() && digits < 6; ++i, ++digits) {
        const char c = versionOutput[i];
        if (c < '0' || c > '9') break;
        version = version * 10 + (c - '0');
    }
    if (digits == 0) return std::nullopt;
    return version;
}

std::string transcriptHeading(std::string_view shownCommand) {
    return "$ adb " + std::string(shownCommand) + "\n";
}

std::string transcriptEntry(const std::string& heading, const CommandResult& result) {
    std::string entry = heading + result.output;
    if (result.timedOut) {
        if (!result.output.empty() && result.output.back() != '\n') entry += '\n';
        entry += "(no answer within " + std::to_string(static_cast<int>(diagnosticsCommandTimeout)) +
                 " seconds: stopped)\n";
    }
    return entry;
}

bool listsPackage(std::string_view output, std::string_view package) {
    constexpr std::string_view mark = "package:";
    for (std::size_t at = output.find(package); at != std::string_view::npos; at = output.find(package, at + 1)) {
        const std::string_view line = trimmedRight(lineAround(output, at));
        if (line.size() == mark.size() + package.size() && line.starts_with(mark) && line.ends_with(package)) return true;
    }
    return false;
}

void noteADBTrouble(ADBTrouble& trouble, const CommandResult& result) {
    const std::string_view output = result.output;
    if (result.timedOut) trouble.noAnswer = true;

    if (const std::size_t at = output.find(versionClashStart); at != std::string_view::npos && !trouble.versionClash) {
        const std::size_t serverAt = at + versionClashStart.size();
        const auto server = between(output, serverAt, ")");
        if (server && output.compare(serverAt + server->size(), versionClashMiddle.size(), versionClashMiddle) == 0) {
            if (auto client = between(output, serverAt + server->size() + versionClashMiddle.size(), ")")) {
                trouble.versionClash = std::make_pair(*server, *client);
            }
        }
    }

    const auto contains = [&](std::string_view marker) { return output.find(marker) != std::string_view::npos; };
    if (trouble.serverFailure || std::none_of(std::begin(serverFailureMarkers), std::end(serverFailureMarkers), contains)) {
        return;
    }
    for (const std::string_view telling : tellingServerLines) {
        const std::size_t at = output.find(telling);
        if (at == std::string_view::npos) continue;
        std::string_view line = lineAround(output, at);
        // adb's own marks of its notices and log lines.
        if (const std::size_t end = line.find(serverLogLineEnd);
            line.starts_with(serverLogLineStart) && end != std::string_view::npos) {
            line.remove_prefix(end + serverLogLineEnd.size());
        }
        for (const std::string_view mark : {"* ", "error: ", "adb: "}) {
            if (line.starts_with(mark)) line.remove_prefix(mark.size());
        }
        trouble.serverFailure = std::string(trimmedRight(line));
        return;
    }
}

} // namespace kelvane::DiagnosticsService
