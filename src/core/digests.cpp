// Content-Digest, Repr-Digest and Want-Repr-Digest over a small reader of
// Structured Fields dictionaries (RFC 8941), and standard base64.
#include "digests.h"

#include "kalder_digits.h"

#include <cstdint>
#include <vector>

namespace {

constexpr char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of a standard base64 character, or -1.
constexpr int base64_value(char c)
{
    return base64_digit_value(c, '+', '/');
}

struct Algorithm {
    DigestAlgorithm id;
    std::string_view name;
    size_t length;  // bytes of a digest
};

// Most preferred first.
constexpr Algorithm algorithms[] = {
    {DIGEST_SHA512, "sha-512", 64},
    {DIGEST_SHA256, "sha-256", 32},
};

const Algorithm *find_algorithm(DigestAlgorithm id)
{
    for (const auto &a : algorithms)
        if (a.id == id)
            return &a;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Structured Fields (RFC 8941 §4.2): dictionaries whose members' values
// are kept when they are integers or byte sequences, and otherwise only
// checked. Parameters are checked and dropped.

enum ItemKind { ITEM_INTEGER, ITEM_BYTES, ITEM_OTHER };

struct Member {
    std::string_view key;
    ItemKind kind;
    int64_t integer;
    std::string bytes;
};

constexpr bool is_lcalpha(char c)
{
    return c >= 'a' && c <= 'z';
}
constexpr bool is_alpha(char c)
{
    return is_lcalpha(c) || (c >= 'A' && c <= 'Z');
}
constexpr bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}
// tchar of RFC 9110 §5.6.2
constexpr bool is_tchar(char c)
{
    return is_alpha(c) || is_digit(c) ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

class SfReader {
   public:
    explicit SfReader(std::string_view s) : s_(s) {}

    // Reads the whole text as a dictionary; null, or why it is not one.
    const char *dictionary(std::vector<Member> *members)
    {
        skip_sp();
        while (!s_.empty()) {
            Member m{};
            if (const char *error = key(&m.key))
                return error;
            if (!s_.empty() && s_.front() == '=') {
                s_.remove_prefix(1);
                if (const char *error = item_or_inner_list(&m))
                    return error;
            } else {
                m.kind = ITEM_OTHER;  // a boolean true
                if (const char *error = parameters())
                    return error;
            }
            // A key given twice: the last value counts.
            std::erase_if(*members, [&m](const Member &old) { return old.key == m.key; });
            members->push_back(std::move(m));
            skip_ows();
            if (s_.empty())
                break;
            if (s_.front() != ',')
                return "expected ',' after a member";
            s_.remove_prefix(1);
            skip_ows();
            if (s_.empty())
                return "a ',' ends the field";
        }
        return nullptr;
    }

   private:
    std::string_view s_;

    void skip_sp()
    {
        while (!s_.empty() && s_.front() == ' ') s_.remove_prefix(1);
    }
    void skip_ows()
    {
        while (!s_.empty() && (s_.front() == ' ' || s_.front() == '\t')) s_.remove_prefix(1);
    }

    const char *key(std::string_view *out)
    {
        if (s_.empty() || !(is_lcalpha(s_.front()) || s_.front() == '*'))
            return "a key must start with a lower-case letter or '*'";
        size_t n = 1;
        while (n < s_.size() && (is_lcalpha(s_[n]) || is_digit(s_[n]) ||
                                 std::string_view("_-.*").find(s_[n]) != std::string_view::npos))
            ++n;
        *out = s_.substr(0, n);
        s_.remove_prefix(n);
        return nullptr;
    }

    const char *parameters()
    {
        while (!s_.empty() && s_.front() == ';') {
            s_.remove_prefix(1);
            skip_sp();
            std::string_view name;
            if (const char *error = key(&name))
                return error;
            if (!s_.empty() && s_.front() == '=') {
                s_.remove_prefix(1);
                Member ignored{};
                if (const char *error = bare_item(&ignored))
                    return error;
            }
        }
        return nullptr;
    }

    const char *item_or_inner_list(Member *m)
    {
        if (s_.empty() || s_.front() != '(') {
            if (const char *error = bare_item(m))
                return error;
            return parameters();
        }
        s_.remove_prefix(1);
        m->kind = ITEM_OTHER;
        for (;;) {
            skip_sp();
            if (s_.empty())
                return "an inner list is not closed";
            if (s_.front() == ')') {
                s_.remove_prefix(1);
                return parameters();
            }
            Member inner{};
            if (const char *error = bare_item(&inner))
                return error;
            if (const char *error = parameters())
                return error;
            if (!s_.empty() && s_.front() != ' ' && s_.front() != ')')
                return "expected ' ' or ')' in an inner list";
        }
    }

    const char *bare_item(Member *m)
    {
        m->kind = ITEM_OTHER;
        if (s_.empty())
            return "a value is missing";
        const char c = s_.front();
        if (c == '-' || is_digit(c))
            return number(m);
        if (c == '"')
            return string();
        if (c == ':')
            return byte_sequence(m);
        if (c == '?') {
            if (s_.size() < 2 || (s_[1] != '0' && s_[1] != '1'))
                return "a boolean must be ?0 or ?1";
            s_.remove_prefix(2);
            return nullptr;
        }
        if (is_alpha(c) || c == '*') {
            size_t n = 1;
            while (n < s_.size() && (is_tchar(s_[n]) || s_[n] == ':' || s_[n] == '/')) ++n;
            s_.remove_prefix(n);
            return nullptr;
        }
        return "a value must be a number, string, token, byte sequence or boolean";
    }

    // Integers of up to 15 digits; decimals of up to 12 + 3 digits.
    const char *number(Member *m)
    {
        bool negative = false;
        if (s_.front() == '-') {
            negative = true;
            s_.remove_prefix(1);
        }
        if (s_.empty() || !is_digit(s_.front()))
            return "a number must have digits";
        int64_t value = 0;
        size_t digits = 0;
        while (!s_.empty() && is_digit(s_.front())) {
            if (++digits > 15)
                return "a number has too many digits";
            value = value * 10 + (s_.front() - '0');
            s_.remove_prefix(1);
        }
        if (s_.empty() || s_.front() != '.') {
            m->kind = ITEM_INTEGER;
            m->integer = negative ? -value : value;
            return nullptr;
        }
        if (digits > 12)
            return "a decimal has too many digits";
        s_.remove_prefix(1);
        size_t fraction = 0;
        while (!s_.empty() && is_digit(s_.front())) {
            ++fraction;
            s_.remove_prefix(1);
        }
        if (fraction < 1 || fraction > 3)
            return "a decimal must have 1 to 3 fractional digits";
        return nullptr;
    }

    const char *string()
    {
        s_.remove_prefix(1);
        while (!s_.empty()) {
            const char c = s_.front();
            s_.remove_prefix(1);
            if (c == '"')
                return nullptr;
            if (c == '\\') {
                if (s_.empty() || (s_.front() != '"' && s_.front() != '\\'))
                    return "a string has a bad escape";
                s_.remove_prefix(1);
            } else if (c < 0x20 || c > 0x7E) {
                return "a string has a character outside printable ASCII";
            }
        }
        return "a string is not closed";
    }

    const char *byte_sequence(Member *m)
    {
        s_.remove_prefix(1);
        const size_t end = s_.find(':');
        if (end == std::string_view::npos)
            return "a byte sequence is not closed";
        if (!base64_decode(s_.substr(0, end), &m->bytes))
            return "a byte sequence is not valid base64";
        m->kind = ITEM_BYTES;
        s_.remove_prefix(end + 1);
        return nullptr;
    }
};

}  // namespace

const char *digest_algorithm_name(DigestAlgorithm algorithm)
{
    const Algorithm *a = find_algorithm(algorithm);
    return a ? a->name.data() : "";
}

DigestField parse_digest_field(std::string_view value, std::string_view field_name)
{
    DigestField field{DIGEST_NONE, {}, {}};
    auto fail = [&field, field_name](std::string_view why) {
        field = {DIGEST_NONE, {}, "malformed " + std::string(field_name) + ": " + std::string(why)};
        return field;
    };
    std::vector<Member> members;
    if (const char *error = SfReader(value).dictionary(&members))
        return fail(error);
    // Every supported digest must be well-formed, not only the one used: a
    // client that sends a broken one has a fault worth reporting.
    const Algorithm *chosen = nullptr;
    const std::string *bytes = nullptr;
    for (const auto &a : algorithms)
        for (const auto &m : members) {
            if (m.key != a.name)
                continue;
            if (m.kind != ITEM_BYTES)
                return fail(std::string(a.name) + " is not a byte sequence");
            if (m.bytes.size() != a.length)
                return fail(std::string(a.name) + " has " + std::to_string(m.bytes.size()) + " bytes, not " +
                            std::to_string(a.length));
            if (!chosen) {
                chosen = &a;
                bytes = &m.bytes;
            }
        }
    if (!chosen)
        return field;
    static constexpr char hex[] = "0123456789abcdef";
    field.algorithm = chosen->id;
    for (const unsigned char c : *bytes) {
        field.hex += hex[c >> 4];
        field.hex += hex[c & 0x0F];
    }
    return field;
}

DigestAlgorithm parse_want_digest(std::string_view value)
{
    std::vector<Member> members;
    if (SfReader(value).dictionary(&members))
        return DIGEST_NONE;
    DigestAlgorithm best = DIGEST_NONE;
    int64_t best_preference = 0;
    // Most preferred algorithm first, so a tie keeps it.
    for (const auto &a : algorithms)
        for (const auto &m : members)
            if (m.key == a.name && m.kind == ITEM_INTEGER && m.integer > best_preference && m.integer <= 10) {
                best = a.id;
                best_preference = m.integer;
            }
    return best;
}

std::string format_repr_digest(DigestAlgorithm algorithm, std::string_view hex)
{
    const Algorithm *a = find_algorithm(algorithm);
    if (!a || hex.size() != 2 * a->length)
        return {};
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit_value(hex[i]), low = hex_digit_value(hex[i + 1]);
        if (high < 0 || low < 0)
            return {};
        bytes += static_cast<char>(high << 4 | low);
    }
    return std::string(a->name) + "=:" + base64_encode(bytes) + ":";
}

std::string base64_encode(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t group = 0;
        for (size_t j = 0; j < 3; ++j)
            group = group << 8 | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        for (size_t j = 0; j < 4; ++j) out += j <= n ? base64_alphabet[(group >> (18 - 6 * j)) & 0x3F] : '=';
    }
    return out;
}

bool base64_decode(std::string_view text, std::string *out)
{
    // Padding, when there is any, completes the last group of four.
    size_t padding = 0;
    while (padding < 2 && !text.empty() && text.back() == '=') {
        text.remove_suffix(1);
        ++padding;
    }
    if (padding && (text.size() + padding) % 4 != 0)
        return false;
    if (text.size() % 4 == 1)
        return false;
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const int v = base64_value(c);
        if (v < 0)
            return false;
        bits = bits << 6 | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    if (bits & ((1u << count) - 1))
        return false;  // surplus bits of the last group must be zero
    *out = std::move(bytes);
    return true;
}
