// The runner's UTF-8 decoding on arbitrary bytes, against a separate decoder
// written here: the bytes are read as code points of any length (overlong
// forms included), and they are valid exactly when no code point is a
// surrogate or above U+10FFFF and encoding the code points again gives the
// same bytes. Valid bytes must come back unchanged; invalid ones must give
// no text at all.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> decoded = kelvane::CommandRunner::decodeUTF8(bytes);
    const bool valid = referenceValid(bytes);

    if (valid && !decoded) fail("valid UTF-8 rejected", size);
    if (valid && *decoded != bytes) fail("valid UTF-8 changed by decoding", size);
    if (!valid && decoded) fail("invalid UTF-8 gave a text", size);
    return 0;
}
