// Integrity fields of RFC 9530: reading Content-Digest and Repr-Digest,
// choosing from Want-Repr-Digest, writing Repr-Digest; and the padded
// base64 their byte sequences use.
#ifndef KALDER_CORE_DIGESTS_H
#define KALDER_CORE_DIGESTS_H

#include <string>
#include <string_view>

enum DigestAlgorithm { DIGEST_NONE, DIGEST_SHA256, DIGEST_SHA512 };

// "sha-256", "sha-512" (the names of the fields and of the back end's
// transfer record), "" for DIGEST_NONE.
const char *digest_algorithm_name(DigestAlgorithm algorithm);

struct DigestField {
    // DIGEST_NONE when the field names no supported algorithm (then it is
    // ignored) or is malformed (then error is set).
    DigestAlgorithm algorithm;
    std::string hex;    // lower-case hexadecimal digest
    std::string error;  // "malformed FIELD: why"; empty when the field is usable
};

// Reads a Content-Digest or Repr-Digest value (a Structured Fields
// dictionary, RFC 8941 §3.2): the sha-512 digest when it has one, else the
// sha-256 digest. Other algorithms and all parameters are ignored; the
// value of a supported one must be a byte sequence of that algorithm's
// length. `field_name` names the field in the error text.
DigestField parse_digest_field(std::string_view value, std::string_view field_name);

// The algorithm a Want-Repr-Digest value asks for: the supported one with
// the highest preference (1 to 10; 0 means "not wanted"), sha-512 on a tie;
// DIGEST_NONE when it wants neither or is malformed (a wish, not a
// requirement).
DigestAlgorithm parse_want_digest(std::string_view value);

// A Repr-Digest value: "sha-256=:BASE64:". Empty when there is no
// algorithm or `hex` is not that algorithm's digest in hexadecimal.
std::string format_repr_digest(DigestAlgorithm algorithm, std::string_view hex);

// Standard base64 (RFC 4648 §4) with padding.
std::string base64_encode(std::string_view bytes);
// Decodes standard base64; the padding may be left out (RFC 8941 §3.3.5)
// but, when present, must be complete, and the surplus bits of a final
// group must be zero. False for any other text.
bool base64_decode(std::string_view text, std::string *out);

#endif
