// The runner's UTF-8 decoding on arbitrary bytes, against a separate reading
// written here: the bytes are read as code points of any length (overlong
// forms included), and they are valid exactly when no code point is a
// surrogate or above U+10FFFF and encoding the code points again gives the
// same bytes. Properties: the result is always valid; valid bytes come back
// unchanged; the valid characters of the input come back in their order with
// replacement characters between them, at least one where invalid bytes
// were and never more than there were invalid bytes.
#include "CommandRunner.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, std::size_t size) {
    std::fprintf(stderr, "property violated: %s\ninput (%zu bytes)\n", what, size);
    std::abort();
}

// The code points of `bytes`, or nothing when the bytes are not even shaped
// like UTF-8 (a bad lead byte, a missing or stray continuation byte).
std::optional<std::vector<std::uint32_t>> codePoints(const std::string& bytes) {
    std::vector<std::uint32_t> points;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        int length = 0;
        while (length < 8 && (lead & (0x80u >> length))) ++length;
        if (length == 1 || length > 4) return std::nullopt;
        if (length == 0) {
            points.push_back(lead);
            ++i;
            continue;
        }
        if (i + static_cast<std::size_t>(length) > bytes.size()) return std::nullopt;
        std::uint32_t point = lead & (0x7Fu >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
            if ((next >> 6) != 2) return std::nullopt;
            point = (point << 6) | (next & 0x3Fu);
        }
        points.push_back(point);
        i += static_cast<std::size_t>(length);
    }
    return points;
}

// The shortest encoding of each code point.
std::string encode(const std::vector<std::uint32_t>& points) {
    std::string bytes;
    for (const std::uint32_t point : points) {
        if (point < 0x80) {
            bytes += static_cast<char>(point);
        } else if (point < 0x800) {
            bytes += static_cast<char>(0xC0 | (point >> 6));
            bytes += static_cast<char>(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            bytes += static_cast<char>(0xE0 | (point >> 12));
            bytes += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (point & 0x3F));
        } else {
            bytes += static_cast<char>(0xF0 | (point >> 18));
            bytes += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
            bytes += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (point & 0x3F));
        }
    }
    return bytes;
}

bool referenceValid(const std::string& bytes) {
    const std::optional<std::vector<std::uint32_t>> points = codePoints(bytes);
    if (!points) return false;
    for (const std::uint32_t point : *points) {
        if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    }
    return encode(*points) == bytes;
}

// The input read one character at a time: each valid character is kept and
// each other byte is counted as invalid, together with the runs they form.
struct Reading {
    std::string kept;
    std::size_t invalidBytes = 0;
    std::size_t invalidRuns = 0;
};

Reading readCharacters(const std::string& bytes) {
    Reading reading;
    bool inRun = false;
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t length = 1;
        while (length <= 4 && !(i + length <= bytes.size() && referenceValid(bytes.substr(i, length)))) ++length;
        if (length <= 4) {
            reading.kept += bytes.substr(i, length);
            i += length;
            inRun = false;
        } else {
            ++reading.invalidBytes;
            if (!inRun) ++reading.invalidRuns;
            inRun = true;
            ++i;
        }
    }
    return reading;
}

const std::string replacement = "\xEF\xBF\xBD";

// `text` without its replacement characters, and how many there were.
std::string withoutReplacements(const std::string& text, std::size_t& count) {
    std::string rest;
    count = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, replacement.size(), replacement) == 0) {
            ++count;
            i += replacement.size();
        } else {
            rest += text[i++];
        }
    }
    return rest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string decoded = kelvane::CommandRunner::decodeUTF8(bytes);

    if (!referenceValid(decoded)) fail("the result is not valid UTF-8", size);
    if (referenceValid(bytes) && decoded != bytes) fail("valid UTF-8 changed by decoding", size);

    const Reading reading = readCharacters(bytes);
    std::size_t ownReplacements = 0, allReplacements = 0;
    const std::string keptText = withoutReplacements(reading.kept, ownReplacements);
    if (withoutReplacements(decoded, allReplacements) != keptText) fail("valid characters lost or changed", size);
    if (allReplacements < ownReplacements) fail("replacement characters of the input lost", size);
    const std::size_t added = allReplacements - ownReplacements;
    if (added > reading.invalidBytes) fail("more replacements than invalid bytes", size);
    if (added < reading.invalidRuns) fail("invalid bytes left without a replacement", size);
    return 0;
}
