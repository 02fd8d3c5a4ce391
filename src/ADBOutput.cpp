#include "ADBOutput.h"

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

} // namespace kelvane::DiagnosticsService
