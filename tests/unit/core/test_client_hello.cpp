// The ClientHello walk over built ClientHellos: what it captures, when it
// waits for more bytes and what it lets through.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_hello.h"
#include "client_hello_builder.h"
#include "log_capture.h"

using kalder::test::Bytes;
using kalder::test::ClientHelloBuilder;
using kalder::test::typical_client_hello;
using namespace kalder::tls;

namespace {

std::string str(const uint8_t *p, size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), n);
}

HelloOutcome parse(const Bytes &b, HelloParse &out, LogCapture *trace = nullptr)
{
    parse_client_hello(b.data(), b.size(), out, trace ? trace->sink() : log_discard());
    return out.outcome;
}

// Whether a trace line reads exactly `text`.
bool traced(const LogCapture &t, const std::string &text)
{
    for (const auto &l : t.lines())
        if (l.level == KLOG_TRACE5 && l.text == text)
            return true;
    return false;
}

}  // namespace

TEST(ClientHello, CapturesServerNameAndAlpnBehindA32ByteSessionIdAndGrease)
{
    HelloParse p;
    LogCapture t;
    ASSERT_EQ(parse(typical_client_hello().records(), p, &t), HelloOutcome::CANDIDATE);
    ASSERT_TRUE(p.has_sni);
    ASSERT_TRUE(p.has_alpn);
    EXPECT_EQ(str(p.sni, p.sni_len), str(kalder::test::sni_data("collection.test").data(), 20));
    const Bytes alpn = kalder::test::alpn_data({"h2", "http/1.1"});
    EXPECT_EQ(str(p.alpn, p.alpn_len), str(alpn.data(), alpn.size()));
    for (const char *line : {"SESSION_ID_LENGTH[0]=32", "EXTENSION_TYPE[0]=0xa", "EXTENSION_TYPE[1]=0",
                             "EXTENSION[1]DATA[2]=0", "EXTENSION[1]DATA[4]=0xf", "SNI_EXTENSION_LENGTH=20",
                             "SNI: NAME_LIST_LEN=18 NAME_TYPE=0 NAME_LEN=15 NAME=collection.test",
                             "ALPN: PROTOCOL_LIST_LEN=12 PROTOCOL_LEN=2 PROTOCOL=h2"})
        EXPECT_TRUE(traced(t, line)) << line << "\n" << t.dump();
    EXPECT_EQ(t.lines().front().source, "bucket_tls_peek");
}

TEST(ClientHello, OneCapturedExtensionIsEnoughForACandidate)
{
    HelloParse p;
    ClientHelloBuilder sni_only;
    sni_only.sni("collection.test").ext(13, {0x00, 0x02, 0x04, 0x03});
    ASSERT_EQ(parse(sni_only.records(), p), HelloOutcome::CANDIDATE);
    EXPECT_TRUE(p.has_sni);
    EXPECT_FALSE(p.has_alpn);

    ClientHelloBuilder alpn_only;
    alpn_only.alpn({"acme-tls/1"});
    ASSERT_EQ(parse(alpn_only.records(), p), HelloOutcome::CANDIDATE);
    EXPECT_FALSE(p.has_sni);
    EXPECT_TRUE(p.has_alpn);
}

// Inputs that are let through at once, captures or not.
TEST(ClientHello, PassesThrough)
{
    const std::string http = "GET / HTTP/1.1\r\nHost: collection.test\r\n\r\n";
    ClientHelloBuilder bare;
    bare.with_extensions = false;
    ClientHelloBuilder other;
    other.ext(10, {0x00, 0x02, 0x00, 0x1d});
    Bytes ssl3 = typical_client_hello().records();
    ssl3[2] = 0;  // record version 3.0
    Bytes server_hello = typical_client_hello().records();
    server_hello[5] = 2;  // handshake type ServerHello

    ClientHelloBuilder h;
    h.sni("collection.test");
    Bytes overlong = h.records();
    overlong[overlong.size() - 20 - 1] += 1;  // low byte of the SNI data length
    Bytes vector_too_long = h.records();
    vector_too_long[5 + 4 + 2 + 32 + 1 + 2 + 6 + 2 + 1] += 1;  // low byte of the extensions length
    Bytes short_hs = h.records();
    short_hs[7] = 0;
    short_hs[8] = 10;  // the message ends inside the random

    ClientHelloBuilder huge;  // larger than the peek: not waited for
    huge.sni("collection.test").ext(21, Bytes(9000, 0)).alpn({"http/1.1"});
    Bytes too_big = huge.records({4000, 8000});
    too_big.resize(PEEK_SIZE);

    const struct {
        const char *what;
        Bytes input;
    } cases[] = {
        {"no extensions", bare.records()},
        {"neither server_name nor ALPN", other.records()},
        {"plain HTTP", Bytes(http.begin(), http.end())},
        {"one byte of HTTP", Bytes{'G'}},
        {"SSL 3.0 record", ssl3},
        {"SSL 3.0 record header alone", Bytes{22, 3, 0}},
        {"ServerHello", server_hello},
        {"extension longer than the vector", overlong},
        {"vector longer than the message", vector_too_long},
        {"handshake length inside the random", short_hs},
        {"ClientHello larger than the peek", too_big},
    };
    for (const auto &c : cases) {
        HelloParse p;
        EXPECT_EQ(parse(c.input, p), HelloOutcome::PASS_THROUGH) << c.what;
        EXPECT_EQ(p.sni, nullptr) << c.what;
    }
}

TEST(ClientHello, ReassemblesAClientHelloSplitAcrossRecords)
{
    const ClientHelloBuilder h = typical_client_hello();
    // Cuts inside the random, inside the SNI entry and between extensions.
    for (std::vector<size_t> cuts : {std::vector<size_t>{20}, {60, 61}, {90}, {3, 50, 100}}) {
        HelloParse p;
        LogCapture t;
        ASSERT_EQ(parse(h.records(cuts), p, &t), HelloOutcome::CANDIDATE) << cuts[0];
        EXPECT_EQ(str(p.sni + 5, p.sni_len - 5), "collection.test");
        EXPECT_TRUE(p.has_alpn);
        EXPECT_TRUE(traced(t, "processed entire fragment"));
    }
}

TEST(ClientHello, EveryPrefixIsIncompleteUntilTheDecisiveByte)
{
    // The peek may end anywhere; until both extensions are in, the answer
    // is "incomplete" with a byte count the peek has not reached yet.
    for (const Bytes &full : {typical_client_hello().records(), typical_client_hello().records({70}),
                              typical_client_hello().records({7, 130})}) {
        size_t decided_at = 0;
        for (size_t n = 1; n <= full.size(); ++n) {
            HelloParse p;
            const Bytes prefix(full.begin(), full.begin() + static_cast<long>(n));
            const HelloOutcome o = parse(prefix, p);
            if (o == HelloOutcome::INCOMPLETE) {
                ASSERT_EQ(decided_at, 0u) << n;
                EXPECT_GT(p.bytes_needed, n);
                EXPECT_LE(p.bytes_needed, full.size());
                EXPECT_EQ(p.sni, nullptr);  // nothing kept on an incomplete parse
                continue;
            }
            ASSERT_EQ(o, HelloOutcome::CANDIDATE) << n;
            if (!decided_at)
                decided_at = n;
            EXPECT_EQ(str(p.sni + 5, p.sni_len - 5), "collection.test");
        }
        EXPECT_GT(decided_at, 0u);
    }
}

TEST(ClientHello, ServerNameInAFinishedRecordStillWaitsForTheAlpnInTheNext)
{
    // Deciding on the server name alone would send a client whose ALPN is
    // in the second record to the wrong place (or nowhere).
    const ClientHelloBuilder h = typical_client_hello();
    const size_t cut = 120;  // after the SNI extension, before ALPN
    const Bytes two = h.records({cut});
    HelloParse p;
    const Bytes first(two.begin(), two.begin() + 5 + static_cast<long>(cut));
    ASSERT_EQ(parse(first, p), HelloOutcome::INCOMPLETE);
    EXPECT_EQ(p.bytes_needed, first.size() + 5);
    const Bytes header_only(two.begin(), two.begin() + static_cast<long>(first.size()) + 5);
    ASSERT_EQ(parse(header_only, p), HelloOutcome::INCOMPLETE);
    EXPECT_EQ(p.bytes_needed, two.size());
    ASSERT_EQ(parse(two, p), HelloOutcome::CANDIDATE);
    EXPECT_TRUE(p.has_alpn);
}

TEST(ClientHello, GarbageAfterTheExtensionsCountsOnlyWhenNotBothWereCaptured)
{
    HelloParse p;
    LogCapture t;
    ClientHelloBuilder garbage = typical_client_hello();
    garbage.trailing = {0xde, 0xad, 0xbe, 0xef};  // inside the handshake, after the extensions
    // Both extensions are captured before the garbage is reached.
    EXPECT_EQ(parse(garbage.records(), p), HelloOutcome::CANDIDATE);
    ClientHelloBuilder garbage_sni;
    garbage_sni.sni("collection.test").trailing = {1, 2, 3};
    EXPECT_EQ(parse(garbage_sni.records(), p, &t), HelloOutcome::PASS_THROUGH);
    EXPECT_TRUE(traced(t, "processed entire extensions vector, returning emismatch"));
}

TEST(ClientHello, BytesAfterTheHandshakeInItsRecordNeedACompleteAlpn)
{
    HelloParse p;
    LogCapture t;
    auto with_extra = [](const ClientHelloBuilder &h) {
        Bytes hs = h.handshake();
        hs.insert(hs.end(), {0x16, 0, 0, 0});
        Bytes r{22, 3, 1};
        kalder::test::put16(r, hs.size());
        kalder::test::append(r, hs);
        return r;
    };
    ClientHelloBuilder sni_only;
    sni_only.sni("collection.test");
    EXPECT_EQ(parse(with_extra(sni_only), p, &t), HelloOutcome::PASS_THROUGH);
    EXPECT_TRUE(traced(t, "processed entire handshake"));
    ClientHelloBuilder alpn_only;
    alpn_only.alpn({"http/1.1"});
    EXPECT_EQ(parse(with_extra(alpn_only), p), HelloOutcome::CANDIDATE);
}

TEST(ClientHello, ALaterExtensionOfTheSameTypeReplacesTheEarlier)
{
    ClientHelloBuilder h;
    h.sni("first.test").sni("second.test");
    HelloParse p;
    ASSERT_EQ(parse(h.records(), p), HelloOutcome::CANDIDATE);
    EXPECT_EQ(str(p.sni + 5, p.sni_len - 5), "second.test");
}

TEST(ClientHello, ServerNameFromTheExtension)
{
    const struct {
        Bytes sni;
        bool has;
        bool found;
        const char *name;  // when found
        const char *why;
    } cases[] = {
        {{}, false, true, "", "no extension"},
        {{}, true, true, "", "empty extension"},
        {{0}, true, true, "", "one byte"},
        {{1, 0}, true, false, nullptr, "two bytes, not a list start"},
        {{0, 4, 1, 0, 1, 'x'}, true, false, nullptr, "not a host_name"},
        {{0, 4, 0}, true, true, "", "no room for a name"},
        {{0, 5, 0, 0, 3, 'a', 'b'}, true, false, nullptr, "name longer than the extension"},
        {kalder::test::sni_data("a.test"), true, true, "a.test", "one host_name"},
    };
    for (const auto &c : cases) {
        const uint8_t *name = nullptr;
        size_t n = 99;
        ASSERT_EQ(server_name_from_sni(c.sni.data(), c.sni.size(), c.has, &name, &n), c.found) << c.why;
        if (c.found) {
            EXPECT_EQ(str(name, n), c.name) << c.why;
        }
    }
}
