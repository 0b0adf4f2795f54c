// The ClientHello peek: the parser over built ClientHellos, the hand-off
// decision over a server chain, and the TLS_PEEK bucket on real sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "apr_portable.h"
#include "apr_strings.h"
#include "client_hello_builder.h"
#include "testing.h"
#include "tls_client_hello.h"

using kalder::test::Bytes;
using kalder::test::ClientHelloBuilder;
using kalder::test::TestServer;
using namespace kalder::tls;

namespace {

std::string str(const uint8_t *p, size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), n);
}

struct Traces {
    std::vector<std::string> lines;
    static void add(void *ctx, const char *fmt, ...)
    {
        char buf[512];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        static_cast<Traces *>(ctx)->lines.emplace_back(buf);
    }
    bool has(const std::string &line) const
    {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

HelloOutcome parse(const Bytes &b, HelloParse &out, Traces *traces = nullptr)
{
    parse_client_hello(b.data(), b.size(), out, traces ? Traces::add : nullptr, traces);
    return out.outcome;
}

ClientHelloBuilder typical()
{
    ClientHelloBuilder h;
    h.session_id.assign(32, 0x5a);
    h.ext(0x0a0a, {})  // GREASE, empty
        .sni("collection.test")
        .ext(10, {0x00, 0x04, 0x00, 0x1d, 0x00, 0x17})
        .alpn({"h2", "http/1.1"})
        .ext(0xfafa, {0x00});  // GREASE with a byte
    return h;
}

// --- parser ------------------------------------------------------------------

TEST(TlsPeekParse, CapturesServerNameAndAlpnBehindA32ByteSessionIdAndGrease)
{
    HelloParse p;
    Traces t;
    ASSERT_EQ(parse(typical().records(), p, &t), HelloOutcome::CANDIDATE);
    ASSERT_TRUE(p.has_sni);
    ASSERT_TRUE(p.has_alpn);
    EXPECT_EQ(str(p.sni, p.sni_len), str(kalder::test::sni_data("collection.test").data(), 20));
    const Bytes alpn = kalder::test::alpn_data({"h2", "http/1.1"});
    EXPECT_EQ(str(p.alpn, p.alpn_len), str(alpn.data(), alpn.size()));
    EXPECT_TRUE(t.has("SESSION_ID_LENGTH[0]=32"));
    EXPECT_TRUE(t.has("SNI: NAME_LIST_LEN=18 NAME_TYPE=0 NAME_LEN=15 NAME=collection.test"));
    EXPECT_TRUE(t.has("ALPN: PROTOCOL_LIST_LEN=12 PROTOCOL_LEN=2 PROTOCOL=h2"));
    EXPECT_TRUE(t.has("EXTENSION_TYPE[0]=0xa"));
}

TEST(TlsPeekParse, OneCapturedExtensionIsEnoughForACandidate)
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

TEST(TlsPeekParse, NothingToDecideOnPassesThrough)
{
    HelloParse p;
    ClientHelloBuilder bare;
    bare.with_extensions = false;
    EXPECT_EQ(parse(bare.records(), p), HelloOutcome::PASS_THROUGH);

    ClientHelloBuilder other;
    other.ext(10, {0x00, 0x02, 0x00, 0x1d});
    EXPECT_EQ(parse(other.records(), p), HelloOutcome::PASS_THROUGH);
}

TEST(TlsPeekParse, NonHandshakeBytesPassThroughAtOnce)
{
    HelloParse p;
    const std::string http = "GET / HTTP/1.1\r\nHost: collection.test\r\n\r\n";
    EXPECT_EQ(parse(Bytes(http.begin(), http.end()), p), HelloOutcome::PASS_THROUGH);
    EXPECT_EQ(parse(Bytes{'G'}, p), HelloOutcome::PASS_THROUGH) << "one byte of HTTP is already enough";

    Bytes ssl3 = typical().records();
    ssl3[2] = 0;  // record version 3.0
    EXPECT_EQ(parse(ssl3, p), HelloOutcome::PASS_THROUGH);
    EXPECT_EQ(parse(Bytes{22, 3, 0}, p), HelloOutcome::PASS_THROUGH);

    Bytes server_hello = typical().records();
    server_hello[5] = 2;  // handshake type ServerHello
    EXPECT_EQ(parse(server_hello, p), HelloOutcome::PASS_THROUGH);
}

TEST(TlsPeekParse, ReassemblesAClientHelloSplitAcrossRecords)
{
    const ClientHelloBuilder h = typical();
    // Cuts inside the random, inside the SNI entry and between extensions.
    for (std::vector<size_t> cuts : {std::vector<size_t>{20}, {60, 61}, {90}, {3, 50, 100}}) {
        HelloParse p;
        Traces t;
        ASSERT_EQ(parse(h.records(cuts), p, &t), HelloOutcome::CANDIDATE) << cuts[0];
        EXPECT_EQ(str(p.sni + 5, p.sni_len - 5), "collection.test");
        EXPECT_TRUE(p.has_alpn);
        EXPECT_TRUE(t.has("processed entire fragment"));
    }
}

TEST(TlsPeekParse, EveryPrefixIsIncompleteUntilTheDecisiveByte)
{
    // The peek may end anywhere; until both extensions are in, the answer
    // is "incomplete" with a byte count the peek has not reached yet.
    for (const Bytes &full : {typical().records(), typical().records({70}), typical().records({7, 130})}) {
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

TEST(TlsPeekParse, ServerNameInAFinishedRecordStillWaitsForTheAlpnInTheNext)
{
    // Deciding on the server name alone would send a client whose ALPN is
    // in the second record to the wrong place (or nowhere).
    const ClientHelloBuilder h = typical();
    const Bytes hs = h.handshake();
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

TEST(TlsPeekParse, MalformedLengthsPassThrough)
{
    HelloParse p;
    Traces t;
    ClientHelloBuilder garbage = typical();
    garbage.trailing = {0xde, 0xad, 0xbe, 0xef};  // inside the handshake, after the extensions
    // Both extensions are captured before the garbage is reached.
    EXPECT_EQ(parse(garbage.records(), p), HelloOutcome::CANDIDATE);
    ClientHelloBuilder garbage_sni;
    garbage_sni.sni("collection.test").trailing = {1, 2, 3};
    EXPECT_EQ(parse(garbage_sni.records(), p, &t), HelloOutcome::PASS_THROUGH);
    EXPECT_TRUE(t.has("processed entire extensions vector, returning emismatch"));

    // An extension longer than the vector, a vector longer than the message.
    ClientHelloBuilder h;
    h.sni("collection.test");
    Bytes overlong = h.records();
    overlong[overlong.size() - 20 - 1] += 1;  // low byte of the SNI data length
    EXPECT_EQ(parse(overlong, p), HelloOutcome::PASS_THROUGH);
    Bytes vector_too_long = h.records();
    vector_too_long[5 + 4 + 2 + 32 + 1 + 2 + 6 + 2 + 1] += 1;  // low byte of the extensions length
    EXPECT_EQ(parse(vector_too_long, p), HelloOutcome::PASS_THROUGH);

    // A handshake length that ends the message inside the random.
    Bytes short_hs = h.records();
    short_hs[8] = 10;
    short_hs[7] = 0;
    EXPECT_EQ(parse(short_hs, p), HelloOutcome::PASS_THROUGH);
}

TEST(TlsPeekParse, BytesAfterTheHandshakeInItsRecordNeedACompleteAlpn)
{
    HelloParse p;
    Traces t;
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
    EXPECT_TRUE(t.has("processed entire handshake"));
    ClientHelloBuilder alpn_only;
    alpn_only.alpn({"http/1.1"});
    EXPECT_EQ(parse(with_extra(alpn_only), p), HelloOutcome::CANDIDATE);
}

TEST(TlsPeekParse, AClientHelloTooLargeForThePeekIsNotWaitedFor)
{
    ClientHelloBuilder h;
    h.sni("collection.test").ext(21, Bytes(9000, 0));  // padding
    h.alpn({"http/1.1"});
    Bytes b = h.records({4000, 8000});
    b.resize(PEEK_SIZE);
    HelloParse p;
    EXPECT_EQ(parse(b, p), HelloOutcome::PASS_THROUGH);
}

TEST(TlsPeekParse, ALaterExtensionOfTheSameTypeReplacesTheEarlier)
{
    ClientHelloBuilder h;
    h.sni("first.test").sni("second.test");
    HelloParse p;
    ASSERT_EQ(parse(h.records(), p), HelloOutcome::CANDIDATE);
    EXPECT_EQ(str(p.sni + 5, p.sni_len - 5), "second.test");
}

// --- server name and decision -----------------------------------------------

TEST(TlsPeekDecision, ServerNameFromTheExtension)
{
    const uint8_t *name;
    size_t n;
    Bytes held;
    auto run = [&](Bytes b, bool has = true) {
        held = std::move(b);
        return server_name_from_sni(held.data(), held.size(), has, &name, &n);
    };
    ASSERT_TRUE(run({}, false));
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(run({}));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(run({0}));
    EXPECT_FALSE(run({1, 0}));
    EXPECT_FALSE(run({0, 4, 1, 0, 1, 'x'})) << "not a host_name";
    EXPECT_TRUE(run({0, 4, 0}));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(run({0, 5, 0, 0, 3, 'a', 'b'})) << "name longer than the extension";
    ASSERT_TRUE(run(kalder::test::sni_data("a.test")));
    EXPECT_EQ(str(name, n), "a.test");
}

class ServerChain : public ::testing::Test {
protected:
    TestServer main_;
    server_rec *main() { return main_.server(); }

    server_rec *vhost(const char *name, std::vector<const char *> aliases = {}, std::vector<const char *> wild = {})
    {
        apr_pool_t *p = main_.pool();
        auto *s = static_cast<server_rec *>(apr_pcalloc(p, sizeof(server_rec)));
        s->server_hostname = apr_pstrdup(p, name);
        s->names = apr_array_make(p, 2, sizeof(char *));
        for (const char *a : aliases)
            *static_cast<const char **>(apr_array_push(s->names)) = a;
        s->wild_names = apr_array_make(p, 2, sizeof(char *));
        for (const char *w : wild)
            *static_cast<const char **>(apr_array_push(s->wild_names)) = w;
        auto **vector = static_cast<void **>(apr_pcalloc(p, sizeof(void *)));
        vector[0] = mod_kalder_create_server_config(p, s);
        s->module_config = reinterpret_cast<ap_conf_vector_t *>(vector);
        // Linked as httpd links virtual hosts: each in front of those read
        // before it.
        s->next = main()->next;
        main()->next = s;
        return s;
    }
    static void map(server_rec *s, const char *key, const char *path)
    {
        apr_table_set(kalder_server_config(s)->unix_sockets, key, path);
    }
    const char *choose(const ClientHelloBuilder &h)
    {
        HelloParse p;
        parse_client_hello(h.records().data(), h.records().size(), p);
        if (p.outcome != HelloOutcome::CANDIDATE)
            return "(pass-through before the decision)";
        const char *path = choose_socket_path(main_.pool(), main(), p);
        return path ? path : "(none)";
    }
};

TEST_F(ServerChain, NamesMatchServerNameAliasesAndWildcardsIgnoringCase)
{
    server_rec *s = vhost("data.test", {"alias.test"}, {"*.wild.test"});
    EXPECT_TRUE(server_matches_name(nullptr, s));
    EXPECT_TRUE(server_matches_name("DATA.test", s));
    EXPECT_TRUE(server_matches_name("Alias.Test", s));
    EXPECT_TRUE(server_matches_name("a.b.WILD.test", s));
    EXPECT_FALSE(server_matches_name("wild.test", s));
    EXPECT_FALSE(server_matches_name("data.test.evil", s));
    EXPECT_FALSE(server_matches_name("", s));
}

TEST_F(ServerChain, SecondOfferedProtocolIsHandedOffWhenOnlyItIsMapped)
{
    map(vhost("collection.test"), "http/1.1", "/run/h1.sock");
    kalder::test::clear_log();
    ClientHelloBuilder h;
    h.sni("collection.test").alpn({"h2", "http/1.1"});
    EXPECT_STREQ(choose(h), "/run/h1.sock");
    EXPECT_TRUE(kalder::test::logged(APLOG_DEBUG, "Checking for alpn h2 in config"));
    EXPECT_TRUE(kalder::test::logged(APLOG_DEBUG, "Checking for alpn http/1.1 in config"));
}

TEST_F(ServerChain, WithoutAlpnOnlyTheWildcardEntryCounts)
{
    server_rec *v = vhost("collection.test");
    map(v, "http/1.1", "/run/h1.sock");
    ClientHelloBuilder h;
    h.sni("collection.test");
    EXPECT_STREQ(choose(h), "(none)");
    map(v, "*", "/run/any.sock");
    EXPECT_STREQ(choose(h), "/run/any.sock");
}

TEST_F(ServerChain, TheServerNameLimitsTheSearchUnlessNoServerHasIt)
{
    map(vhost("a.test"), "x", "/run/a.sock");
    map(vhost("b.test"), "y", "/run/b.sock");
    ClientHelloBuilder to_a;
    to_a.sni("a.test").alpn({"y"});
    EXPECT_STREQ(choose(to_a), "(none)") << "b.test's table is not a.test's";
    ClientHelloBuilder unknown;
    unknown.sni("nobody.test").alpn({"y"});
    EXPECT_STREQ(choose(unknown), "/run/b.sock") << "an unknown name searches every table";
    ClientHelloBuilder nul_name;
    nul_name.sni(std::string("a.test\0x", 8)).alpn({"y"});
    EXPECT_STREQ(choose(nul_name), "/run/b.sock") << "a name with a NUL byte is nobody's";
}

TEST_F(ServerChain, EarlierServersAndEarlierProtocolsWin)
{
    map(main(), "*", "/run/main-any.sock");
    map(vhost("a.test"), "h2", "/run/a-h2.sock");
    ClientHelloBuilder no_name;
    no_name.alpn({"h2"});
    EXPECT_STREQ(choose(no_name), "/run/main-any.sock") << "the main server's wildcard comes first";
    ClientHelloBuilder named;
    named.sni("a.test").alpn({"h2"});
    EXPECT_STREQ(choose(named), "/run/a-h2.sock") << "the main server does not answer to a.test";
}

// vhost() links servers as httpd does, so the chain runs backwards from
// the configuration; the search must still go in configuration order.
TEST_F(ServerChain, VirtualHostsAreSearchedInConfigurationOrder)
{
    server_rec *first = vhost("first.test");
    server_rec *second = vhost("second.test");
    map(first, "acme-tls/1", "/run/first-exact.sock");
    map(second, "*", "/run/second-any.sock");
    ClientHelloBuilder no_name, unknown;
    no_name.alpn({"acme-tls/1"});
    unknown.sni("nobody.test").alpn({"acme-tls/1"});
    EXPECT_STREQ(choose(no_name), "/run/first-exact.sock") << "an earlier exact entry beats a later wildcard";
    EXPECT_STREQ(choose(unknown), "/run/first-exact.sock");

    apr_table_clear(kalder_server_config(first)->unix_sockets);
    apr_table_clear(kalder_server_config(second)->unix_sockets);
    map(first, "*", "/run/first-any.sock");
    map(second, "acme-tls/1", "/run/second-exact.sock");
    EXPECT_STREQ(choose(no_name), "/run/first-any.sock") << "an earlier wildcard beats a later exact entry";
    EXPECT_STREQ(choose(unknown), "/run/first-any.sock");
    ClientHelloBuilder to_second;
    to_second.sni("second.test").alpn({"acme-tls/1"});
    EXPECT_STREQ(choose(to_second), "/run/second-exact.sock") << "a known name keeps to its own server";
}

TEST_F(ServerChain, ClientProtocolOrderDecides)
{
    server_rec *v = vhost("a.test");
    map(v, "h2", "/run/h2.sock");
    map(v, "http/1.1", "/run/h1.sock");
    ClientHelloBuilder h;
    h.sni("a.test").alpn({"http/1.1", "h2"});
    EXPECT_STREQ(choose(h), "/run/h1.sock");
}

TEST_F(ServerChain, MalformedAlpnListsPassThrough)
{
    map(main(), "*", "/run/any.sock");
    for (Bytes alpn : {Bytes{0, 0}, Bytes{0, 0, 0}, Bytes{0, 4, 5, 'a', 'b', 'c'}, Bytes{0, 2, 1}}) {
        ClientHelloBuilder h;
        h.ext(16, alpn);
        EXPECT_STREQ(choose(h), "(none)") << alpn.size();
    }
}

// --- the bucket on real sockets ----------------------------------------------

// A connected TCP pair on loopback: `client` is the test's end, `server`
// the descriptor the bucket reads, wrapped as the server wraps it.
class PeekBucket : public ::testing::Test {
protected:
    TestServer srv_;
    conn_rec conn_{};
    int client = -1;
    int server = -1;
    apr_socket_t *socket = nullptr;
    apr_bucket_brigade *bb = nullptr;

    void SetUp() override
    {
        int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        client = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        server = accept(listener, nullptr, nullptr);
        close(listener);
        ASSERT_GE(server, 0);

        conn_.pool = srv_.pool();
        conn_.base_server = srv_.server();
        conn_.bucket_alloc = apr_bucket_alloc_create(srv_.pool());
        srv_.server()->timeout = apr_time_from_msec(2000);
        apr_os_sock_t fd = server;
        ASSERT_EQ(apr_os_sock_put(&socket, &fd, srv_.pool()), APR_SUCCESS);
        apr_socket_timeout_set(socket, srv_.server()->timeout);
        bb = apr_brigade_create(srv_.pool(), conn_.bucket_alloc);
        ASSERT_EQ(mod_kalder_insert_network_bucket(&conn_, bb, socket), OK);
        kalder::test::clear_log();
    }
    void TearDown() override
    {
        if (client >= 0)
            close(client);
        close(server);
    }
    void send_bytes(const Bytes &b) { ASSERT_EQ(send(client, b.data(), b.size(), 0), static_cast<ssize_t>(b.size())); }
    apr_bucket *first() { return APR_BRIGADE_FIRST(bb); }
    apr_status_t read_first(std::string &out, apr_read_type_e block = APR_BLOCK_READ)
    {
        const char *data = nullptr;
        apr_size_t len = 0;
        apr_status_t rv = apr_bucket_read(first(), &data, &len, block);
        out.assign(data ? data : "", data ? len : 0);
        return rv;
    }
    // Everything the brigade still delivers until end of input.
    std::string drain()
    {
        shutdown(client, SHUT_WR);
        std::string all;
        while (!APR_BRIGADE_EMPTY(bb)) {
            std::string part;
            if (read_first(part) != APR_SUCCESS)
                break;
            all += part;
            apr_bucket_delete(first());
        }
        return all;
    }
    static int low_water(int fd)
    {
        int v = 0;
        socklen_t l = sizeof v;
        getsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &v, &l);
        return v;
    }
};

TEST_F(PeekBucket, EndOfInputWithoutBytesIsAnEmptyConnection)
{
    shutdown(client, SHUT_WR);
    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_EQ(got, "");
    EXPECT_TRUE(APR_BUCKET_IS_IMMORTAL(first()));
}

TEST_F(PeekBucket, PassThroughDeliversEveryByteOnceInOrder)
{
    std::string request = "GET / HTTP/1.1\r\nHost: collection.test\r\n\r\n";
    send_bytes(Bytes(request.begin(), request.end()));
    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_EQ(got, request);
    EXPECT_TRUE(APR_BUCKET_IS_HEAP(first()));
    EXPECT_TRUE(APR_BUCKET_IS_SOCKET(APR_BUCKET_NEXT(first())));
    apr_bucket_delete(first());
    send_bytes(Bytes{'t', 'a', 'i', 'l'});
    EXPECT_EQ(drain(), "tail");
    EXPECT_EQ(kalder::test::log_lines().size(), 0u) << kalder::test::dump_log();
}

TEST_F(PeekBucket, IncompleteNonBlockingReadWaitsForTheRestOfTheRecord)
{
    const Bytes hello = typical().records();
    send_bytes(Bytes(hello.begin(), hello.begin() + 40));
    std::string got;
    EXPECT_EQ(read_first(got, APR_NONBLOCK_READ), APR_EAGAIN);
    EXPECT_STREQ(first()->type->name, "TLS_PEEK");
    // The socket reports readable only once the whole record is queued,
    // so a server polling it does not wake up again and again.
    EXPECT_EQ(low_water(server), static_cast<int>(hello.size()));
    pollfd p{server, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 50), 0);
    send_bytes(Bytes(hello.begin() + 40, hello.end()));
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    ASSERT_EQ(read_first(got, APR_NONBLOCK_READ), APR_SUCCESS);
    EXPECT_EQ(got, str(hello.data(), hello.size()));
    EXPECT_EQ(low_water(server), 1);
}

TEST_F(PeekBucket, ClientHelloInTwoPiecesIsAwaitedByABlockingRead)
{
    const Bytes hello = typical().records({50});
    send_bytes(Bytes(hello.begin(), hello.begin() + 30));
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        send_bytes(Bytes(hello.begin() + 30, hello.end()));
    });
    std::string got;
    const auto start = std::chrono::steady_clock::now();
    const apr_status_t rv = read_first(got);
    later.join();
    ASSERT_EQ(rv, APR_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(got, str(hello.data(), hello.size()));
    EXPECT_EQ(low_water(server), 1);
}

TEST_F(PeekBucket, StalledHalfClientHelloTimesOutWithoutSpinning)
{
    srv_.server()->timeout = apr_time_from_msec(400);
    const Bytes hello = typical().records();
    send_bytes(Bytes(hello.begin(), hello.begin() + 100));
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    const auto start = std::chrono::steady_clock::now();
    std::string got;
    EXPECT_EQ(read_first(got), APR_TIMEUP);
    const auto waited = std::chrono::steady_clock::now() - start;
    getrusage(RUSAGE_THREAD, &after);
    EXPECT_GE(waited, std::chrono::milliseconds(350));
    EXPECT_LT(waited, std::chrono::milliseconds(1500));
    const long cpu_us = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000000L +
                        (after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                        (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000000L +
                        (after.ru_stime.tv_usec - before.ru_stime.tv_usec);
    EXPECT_LT(cpu_us, 50000) << "the wait must sleep, not poll in a loop";
    EXPECT_STREQ(first()->type->name, "TLS_PEEK");
    EXPECT_EQ(low_water(server), 1);
}

TEST_F(PeekBucket, HalfClientHelloThenEndOfInputGoesToTheTlsLayer)
{
    const Bytes hello = typical().records();
    send_bytes(Bytes(hello.begin(), hello.begin() + 100));
    shutdown(client, SHUT_WR);
    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_EQ(got, str(hello.data(), 100));
}

// A Unix socket listener standing in for the receiving service.
struct Receiver {
    std::string path;
    int fd = -1;
    explicit Receiver(const std::string &p) : path(p)
    {
        unlink(path.c_str());
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd, 4), 0);
    }
    ~Receiver()
    {
        close(fd);
        unlink(path.c_str());
    }
    // Accepts one hand-off; returns the passed descriptor (or -1) and the
    // data bytes that came with it.
    int take(std::string &message)
    {
        int conn = accept(fd, nullptr, nullptr);
        if (conn < 0)
            return -1;
        char data[16];
        union {
            char buf[CMSG_SPACE(sizeof(int))];
            cmsghdr align;
        } control{};
        iovec iov{data, sizeof data};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.buf;
        msg.msg_controllen = sizeof control.buf;
        ssize_t n = recvmsg(conn, &msg, 0);
        close(conn);
        message.assign(data, n > 0 ? static_cast<size_t>(n) : 0);
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        if (!c || c->cmsg_type != SCM_RIGHTS)
            return -1;
        int passed;
        std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
        return passed;
    }
};

TEST_F(PeekBucket, HandOffPassesTheLiveConnectionAndLeavesADeadOne)
{
    Receiver receiver(testing::TempDir() + "kalder-peek-" + std::to_string(getpid()) + ".sock");
    apr_table_set(srv_.config()->unix_sockets, "http/1.1", receiver.path.c_str());
    ClientHelloBuilder h;
    h.sni("collection.example.org").alpn({"h2", "http/1.1"});
    const Bytes hello = h.records();
    send_bytes(hello);

    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_EQ(got, "");
    EXPECT_TRUE(APR_BUCKET_IS_IMMORTAL(first()));

    std::string message;
    const int passed = receiver.take(message);
    ASSERT_GE(passed, 0);
    EXPECT_EQ(message, std::string("\0\0\0\1", 4));
    // The receiver reads the ClientHello from the start, and talks to the
    // client directly.
    std::string unread(hello.size(), '\0');
    ASSERT_EQ(recv(passed, unread.data(), unread.size(), MSG_WAITALL), static_cast<ssize_t>(hello.size()));
    EXPECT_EQ(unread, str(hello.data(), hello.size()));
    ASSERT_EQ(send(passed, "hi", 2, 0), 2);
    char buf[2];
    ASSERT_EQ(recv(client, buf, 2, MSG_WAITALL), 2);
    close(passed);
    // The server's descriptor number now names an unconnected socket.
    EXPECT_EQ(send(server, "x", 1, MSG_NOSIGNAL), -1);
    EXPECT_TRUE(kalder::test::logged(APLOG_DEBUG, "Checking for alpn h2 in config"));
}

TEST_F(PeekBucket, HandOffToAPathWhereNothingListensEndsTheConnectionQuietly)
{
    apr_table_set(srv_.config()->unix_sockets, "*", "/nonexistent/kalder.sock");
    ClientHelloBuilder h;
    h.sni("collection.example.org");
    send_bytes(h.records());
    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_EQ(got, "");
    EXPECT_TRUE(APR_BUCKET_IS_IMMORTAL(first()));
    for (const auto &line : kalder::test::log_lines())
        EXPECT_GE(line.level, APLOG_DEBUG) << line.message;
}

TEST_F(PeekBucket, FieldTracingOnlyAtTrace5)
{
    send_bytes(typical().records());
    srv_.server()->log.level = APLOG_DEBUG;
    std::string got;
    ASSERT_EQ(read_first(got, APR_NONBLOCK_READ), APR_SUCCESS);
    EXPECT_EQ(kalder::test::count_logged("MSG_TYPE=1"), 0);
    EXPECT_TRUE(kalder::test::logged(APLOG_DEBUG, "Checking for alpn h2 in config"));
}

TEST_F(PeekBucket, FieldTracingAtTrace5)
{
    send_bytes(typical().records());
    srv_.server()->log.level = APLOG_TRACE5;
    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_TRUE(kalder::test::logged(APLOG_TRACE5, "MSG_TYPE=1"));
    EXPECT_TRUE(kalder::test::logged(APLOG_TRACE5, "SNI: NAME_LIST_LEN=18 NAME_TYPE=0 NAME_LEN=15 NAME=collection.test"));
}

}  // namespace
