// Edits a fuzz input describes on a sealed value, for the targets that
// check that no changed value opens.
#ifndef KALDER_FUZZ_SEALED_EDITS_H
#define KALDER_FUZZ_SEALED_EDITS_H

#include <cstdint>
#include <string>

namespace kalder::fuzz {

// Applies the edits, three bytes each (what, where, byte): replace a
// character by any byte, flip bits of a character's base64url value,
// truncate, insert any byte, remove a character. The result may equal the
// original; callers compare.
inline std::string apply_edits(std::string text, const std::string &edits)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    for (size_t i = 0; i + 3 <= edits.size(); i += 3) {
        auto what = static_cast<uint8_t>(edits[i]) % 5;
        auto where = static_cast<uint8_t>(edits[i + 1]);
        char byte = edits[i + 2];
        size_t at = text.empty() ? 0 : where % text.size();
        switch (what) {
            case 0:
                if (!text.empty())
                    text[at] = byte;
                break;
            case 1:
                if (!text.empty() && alphabet.find(text[at]) != std::string::npos)
                    text[at] = alphabet[alphabet.find(text[at]) ^ (static_cast<uint8_t>(byte) & 63)];
                break;
            case 2:
                text.resize(where % (text.size() + 1));
                break;
            case 3:
                text.insert(where % (text.size() + 1), 1, byte);
                break;
            default:
                if (!text.empty())
                    text.erase(at, 1);
                break;
        }
    }
    // A NUL ends the text where the server would read it.
    return text.substr(0, text.find('\0'));
}

}  // namespace kalder::fuzz

#endif
