#include "CommandRunner.h"

namespace kelvane::CommandRunner {

std::string decodeUTF8(std::string bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD"; // U+FFFD
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::string text;     // built only once something is replaced
    std::size_t kept = 0; // bytes before this are in `text`; 0 until then
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The length of the sequence `lead` begins, and the range its second
        // byte must lie in (Unicode's table of well-formed byte sequences).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;       // overlong
            else if (lead == 0xED) high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;       // overlong
            else if (lead == 0xF4) high = 0x8F; // above U+10FFFF
        }
        // How far the bytes follow a well-formed sequence.
        std::size_t matched = 1;
        while (matched < length && i + matched < size) {
            const unsigned char next = data[i + matched];
            if (next < (matched == 1 ? low : 0x80) || next > (matched == 1 ? high : 0xBF)) break;
            ++matched;
        }
        if (matched == length) {
            i += length;
            continue;
        }
        // An ill-formed sequence: its maximal subpart (the lead alone when
        // nothing can follow it) becomes one replacement character.
        text.append(bytes, kept, i - kept);
        text += replacement;
        i += matched;
        kept = i;
    }
    if (kept == 0) return bytes;
    text.append(bytes, kept);
    return text;
}

} // namespace kelvane::CommandRunner
