// Content-Digest / Repr-Digest dictionaries, Want-Repr-Digest preferences
// and the base64 of their byte sequences.
#include <gtest/gtest.h>

#include <string>

#include "digests.h"

namespace {

// The digests of "hello".
const std::string s256 = "LPJNul+wow4m6DsqxbninhsWHlwfp0JecwQzYpOLmCQ=";
const std::string h256 = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
const std::string s512 =
    "m3HSJL1i83hdltRq0+o9czGb+8KJDKra4t/3JRlnPKcjI8PZm6XBHXx6zG4UuMXaDEZjR1wuXDre9G9zvN7AQw==";
const std::string h512 =
    "9b71d224bd62f3785d96d46ad3ea3d73319bfbc2890caadae2dff72519673ca72323c3d99ba5c11d7c7acc6e14b8c5da0c466347"
    "5c2e5c3ad"
    "ef46f73bcdec043";
const std::string zeros31 = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==";

TEST(Digests, ContentDigestYieldsThePreferredSupportedDigest)
{
    const struct {
        std::string value;
        DigestAlgorithm algorithm;
        std::string hex;
        std::string error;  // empty: none
    } cases[] = {
        {"sha-256=:" + s256 + ":", DIGEST_SHA256, h256, ""},
        {"sha-256=:" + s256 + ":, sha-512=:" + s512 + ":", DIGEST_SHA512, h512, ""},
        {"sha-512=:" + s512 + ":,sha-256=:" + s256 + ":", DIGEST_SHA512, h512, ""},
        // Blanks around the field and the commas; parameters dropped.
        {"  sha-256=:" + s256 + ":;alg=x;n=1.5  ,\tmd5=:AAAA: ", DIGEST_SHA256, h256, ""},
        // Padding may be left out.
        {"sha-256=:" + s256.substr(0, s256.size() - 1) + ":", DIGEST_SHA256, h256, ""},
        // Unknown algorithms, whatever their values, are ignored.
        {"md5=:AAAA:, unixsum=42, x=(1 2 \"a\");p, y=?1, z, crc32c=tok/en:x", DIGEST_NONE, "", ""},
        {"unixsum=42, sha-256=:" + s256 + ":", DIGEST_SHA256, h256, ""},
        {"", DIGEST_NONE, "", ""},
        // A key given twice: the last value counts.
        {"sha-256=:" + zeros31 + ":, sha-256=:" + s256 + ":", DIGEST_SHA256, h256, ""},
        // Supported algorithms must be byte sequences of their length.
        {"sha-256=:" + zeros31 + ":", DIGEST_NONE, "",
         "malformed Content-Digest: sha-256 has 31 bytes, not 32"},
        {"sha-512=:" + s256 + ":", DIGEST_NONE, "", "malformed Content-Digest: sha-512 has 32 bytes, not 64"},
        {"sha-512=:" + s512 + ":, sha-256=:" + zeros31 + ":", DIGEST_NONE, "",
         "malformed Content-Digest: sha-256 has 31 bytes, not 32"},
        {"sha-256=\"" + h256 + "\"", DIGEST_NONE, "",
         "malformed Content-Digest: sha-256 is not a byte sequence"},
        {"sha-256", DIGEST_NONE, "", "malformed Content-Digest: sha-256 is not a byte sequence"},
        // Syntax faults anywhere spoil the field.
        {"sha-256=:" + s256, DIGEST_NONE, "", "malformed Content-Digest: a byte sequence is not closed"},
        {"sha-256=:" + s256.substr(1) + ":", DIGEST_NONE, "",
         "malformed Content-Digest: a byte sequence is not valid base64"},
        {"sha-256=:LPJN-l_w:", DIGEST_NONE, "",
         "malformed Content-Digest: a byte sequence is not valid base64"},
        {"SHA-256=:" + s256 + ":", DIGEST_NONE, "",
         "malformed Content-Digest: a key must start with a lower-case letter or '*'"},
        {"sha-256=:" + s256 + ":,", DIGEST_NONE, "", "malformed Content-Digest: a ',' ends the field"},
        {"sha-256=:" + s256 + ": sha-512", DIGEST_NONE, "",
         "malformed Content-Digest: expected ',' after a member"},
        {"sha-256=:" + s256 + ":, md5=:A:", DIGEST_NONE, "",
         "malformed Content-Digest: a byte sequence is not valid base64"},
        {"x=(1 2, sha-256=:" + s256 + ":", DIGEST_NONE, "",
         "malformed Content-Digest: expected ' ' or ')' in an inner list"},
        {"x=\"open, sha-256=:" + s256 + ":", DIGEST_NONE, "",
         "malformed Content-Digest: a string is not closed"},
        {"x=1234567890123456", DIGEST_NONE, "", "malformed Content-Digest: a number has too many digits"},
        {"x=1., y=2", DIGEST_NONE, "",
         "malformed Content-Digest: a decimal must have 1 to 3 fractional digits"},
        {"x=?2", DIGEST_NONE, "", "malformed Content-Digest: a boolean must be ?0 or ?1"},
        {"x=", DIGEST_NONE, "", "malformed Content-Digest: a value is missing"},
        {"x=@", DIGEST_NONE, "",
         "malformed Content-Digest: a value must be a number, string, token, byte sequence or boolean"},
    };
    for (const auto &c : cases) {
        const DigestField f = parse_digest_field(c.value, "Content-Digest");
        EXPECT_EQ(f.algorithm, c.algorithm) << c.value;
        EXPECT_EQ(f.hex, c.hex) << c.value;
        EXPECT_EQ(f.error, c.error) << c.value;
    }
    EXPECT_EQ(parse_digest_field("sha-256=1", "Repr-Digest").error,
              "malformed Repr-Digest: sha-256 is not a byte sequence");
}

TEST(Digests, WantReprDigestPicksTheHighestPreference)
{
    const struct {
        const char *value;
        DigestAlgorithm algorithm;
    } cases[] = {
        {"sha-256=1", DIGEST_SHA256},
        {"sha-256=1, sha-512=3", DIGEST_SHA512},
        {"sha-256=10, sha-512=3", DIGEST_SHA256},
        {"sha-256=5, sha-512=5", DIGEST_SHA512},
        {"sha-512=0, sha-256=2", DIGEST_SHA256},
        {"sha-512=0", DIGEST_NONE},
        {"md5=10, sha-256=1", DIGEST_SHA256},
        {"md5=10", DIGEST_NONE},
        // Out of range or not integers: not wanted.
        {"sha-512=11, sha-256=1", DIGEST_SHA256},
        {"sha-512=-1", DIGEST_NONE},
        {"sha-512=1.5, sha-256=1", DIGEST_SHA256},
        {"sha-512", DIGEST_NONE},
        {"sha-512=1;q=9", DIGEST_SHA512},
        // Malformed: nothing is wanted.
        {"sha-512=3,", DIGEST_NONE},
        {"SHA-512=3", DIGEST_NONE},
        {"", DIGEST_NONE},
    };
    for (const auto &c : cases) EXPECT_EQ(parse_want_digest(c.value), c.algorithm) << c.value;
}

TEST(Digests, ReprDigestIsWrittenFromHexAndReadsBack)
{
    EXPECT_EQ(format_repr_digest(DIGEST_SHA256, h256), "sha-256=:" + s256 + ":");
    EXPECT_EQ(format_repr_digest(DIGEST_SHA512, h512), "sha-512=:" + s512 + ":");
    for (const auto &[algorithm, hex] : {std::pair{DIGEST_SHA256, h256}, std::pair{DIGEST_SHA512, h512}}) {
        const DigestField back = parse_digest_field(format_repr_digest(algorithm, hex), "Repr-Digest");
        EXPECT_EQ(back.algorithm, algorithm);
        EXPECT_EQ(back.hex, hex);
    }
    EXPECT_EQ(format_repr_digest(DIGEST_SHA256, h512), "");
    EXPECT_EQ(format_repr_digest(DIGEST_SHA512, h256), "");
    EXPECT_EQ(format_repr_digest(DIGEST_SHA256, "g" + h256.substr(1)), "");
    EXPECT_EQ(format_repr_digest(DIGEST_NONE, ""), "");
}

TEST(Digests, Base64IsStandardWithPadding)
{
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {std::string("\xfb\xff\xbf", 3), "+/+/"},
        {std::string("\0\x01", 2), "AAE="},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(base64_encode(c.bytes), c.text);
        std::string back;
        EXPECT_TRUE(base64_decode(c.text, &back)) << c.text;
        EXPECT_EQ(back, c.bytes) << c.text;
    }
    const struct {
        const char *text;
        bool ok;
    } decodes[] = {
        {"Zg", true},    {"Zm8", true},    {"Zg=", false},  {"Zm8==", false},
        {"Z===", false}, {"Z", false},     {"Zh==", false}, {"Zm9=", false},
        {"-_8=", false}, {"Zm 9v", false}, {"=Zm9", false}, {"Zg==Zg==", false},
    };
    for (const auto &d : decodes) {
        std::string out = "unchanged";
        EXPECT_EQ(base64_decode(d.text, &out), d.ok) << d.text;
        if (!d.ok) {
            EXPECT_EQ(out, "unchanged") << d.text;
        }
    }
}

}  // namespace
