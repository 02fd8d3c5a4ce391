// parseDevices on arbitrary text. Besides not crashing:
//  - every device has a non-empty id and state, neither holding a blank, a
//    tab or a line feed;
//  - the result equals that of a separate, character-by-character reading of
//    the same rules written here;
//  - a text that does not hold adb's heading gives no device, and a line put
//    in front of the text changes nothing unless it is the heading;
//  - empty lines never count: the text parses the same after all of them are
//    removed, and after empty lines are added between, before and after the
//    lines.
#include "DiagnosticsService.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kelvane::AndroidDevice;

[[noreturn]] void fail(const char* what, std::string_view input) {
    std::fprintf(stderr, "property violated: %s\ninput (%zu bytes)\n", what, input.size());
    std::abort();
}

constexpr std::string_view heading = "List of devices attached";

// Whether `line` is adb's heading: the heading, then nothing but blanks, tabs
// and carriage returns.
bool isHeading(std::string_view line) {
    if (line.substr(0, heading.size()) != heading) return false;
    for (const char c : line.substr(heading.size())) {
        if (c != ' ' && c != '\t' && c != '\r') return false;
    }
    return true;
}

// Whether `line` is one of adb's own notices, never a device.
bool isNotice(std::string_view line) {
    for (const std::string_view start : {"* ", "adb server version (", "adb: ", "error: "}) {
        if (line.substr(0, start.size()) == start) return true;
    }
    return false;
}

// The rules, read one character at a time: a line feed ends a line (and a
// carriage return right before it), a blank
// or a tab ends a field, empty lines and empty fields do not exist; after the
// first heading line, every line but a heading or one of adb's notices with
// two or more fields is a device.
std::vector<AndroidDevice> referenceDevices(std::string_view text) {
    std::vector<AndroidDevice> devices;
    bool headingSeen = false;
    std::string line;
    std::vector<std::string> fields;
    std::string field;

    auto endField = [&] {
        if (!field.empty()) fields.push_back(field);
        field.clear();
    };
    auto endLine = [&] {
        // A carriage return before the line feed ends the line with it.
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            field.pop_back();
        }
        endField();
        if (isHeading(line)) {
            headingSeen = true;
        } else if (headingSeen && fields.size() >= 2 && !isNotice(line)) {
            devices.emplace_back(fields[0], fields[1]);
        }
        line.clear();
        fields.clear();
    };

    for (const char c : text) {
        if (c == '\n') {
            endLine();
            continue;
        }
        line += c;
        if (c == ' ' || c == '\t') {
            endField();
        } else {
            field += c;
        }
    }
    endLine();
    return devices;
}

std::string withoutEmptyLines(std::string_view text) {
    std::string result;
    for (const char c : text) {
        if (c == '\n' && (result.empty() || result.back() == '\n')) continue;
        result += c;
    }
    if (!result.empty() && result.back() == '\n') result.pop_back();
    return result;
}

// Adds empty lines: before the text, after it, and after those line feeds
// that the input's own bytes pick.
std::string withMoreEmptyLines(std::string_view text) {
    std::string result = "\n\n";
    std::uint32_t picker = 2166136261u;
    for (const char c : text) {
        result += c;
        picker = (picker ^ static_cast<unsigned char>(c)) * 16777619u;
        if (c == '\n') result.append((picker >> 7) % 3, '\n');
    }
    result += "\n\n";
    return result;
}

bool holdsSeparator(const std::string& text) { return text.find_first_of(" \t\n") != std::string::npos; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<AndroidDevice> devices = kelvane::DiagnosticsService::parseDevices(input);

    for (const AndroidDevice& device : devices) {
        if (device.id().empty()) fail("empty id", input);
        if (device.state().empty()) fail("empty state", input);
        if (holdsSeparator(device.id())) fail("id holds a blank, tab or line feed", input);
        if (holdsSeparator(device.state())) fail("state holds a blank, tab or line feed", input);
    }
    if (devices != referenceDevices(input)) fail("differs from the character-by-character reading", input);
    if (input.find(heading) == std::string_view::npos && !devices.empty()) fail("devices without a heading", input);
    // One line in front, made of the input's own bytes.
    std::string front(input.substr(0, 64));
    for (char& c : front) {
        if (c == '\n') c = ' ';
    }
    if (!isHeading(front) && devices != kelvane::DiagnosticsService::parseDevices(front + "\n" + std::string(input))) {
        fail("changes when a line that is not the heading is put in front", input);
    }
    if (devices != kelvane::DiagnosticsService::parseDevices(withoutEmptyLines(input))) {
        fail("changes when empty lines are removed", input);
    }
    if (devices != kelvane::DiagnosticsService::parseDevices(withMoreEmptyLines(input))) {
        fail("changes when empty lines are added", input);
    }
    return 0;
}
