// Checking UTF-8 sequences in names the gateway writes into headers and
// pages.
#ifndef KALDER_CORE_UTF8_H
#define KALDER_CORE_UTF8_H

#include <cstddef>
#include <cstdint>
#include <string_view>

// Length of the valid UTF-8 sequence at the start of s (1 to 4), or 0 when
// it is not one: a stray continuation byte, a truncated sequence, an
// overlong form, a surrogate or a code point beyond U+10FFFF.
inline size_t utf8_sequence_length(std::string_view s)
{
    if (s.empty())
        return 0;
    const auto *u = reinterpret_cast<const unsigned char *>(s.data());
    size_t n;
    uint32_t cp;
    if (u[0] < 0x80)
        return 1;
    if ((u[0] & 0xE0) == 0xC0) {
        n = 2;
        cp = u[0] & 0x1F;
    } else if ((u[0] & 0xF0) == 0xE0) {
        n = 3;
        cp = u[0] & 0x0F;
    } else if ((u[0] & 0xF8) == 0xF0) {
        n = 4;
        cp = u[0] & 0x07;
    } else {
        return 0;
    }
    if (s.size() < n)
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((u[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (u[i] & 0x3F);
    }
    static constexpr uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

#endif
