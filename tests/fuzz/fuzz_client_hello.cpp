// Fuzzes the ClientHello peek's parser and hand-off decision.
//
// The first byte picks the shape of the input: raw bytes as they might
// arrive on a connection, or a well-formed ClientHello built from the input
// (server name, protocols, record cuts) with a few bytes then altered, which
// reaches the extension parsing far more often than raw bytes would.
// Besides crashes and out-of-bounds reads (the sanitizers), it checks:
//   - an incomplete outcome asks for bytes beyond what it saw, within the peek;
//   - a candidate carries a complete capture; other outcomes keep none;
//   - any prefix of the input parses to "incomplete" or to the same outcome
//     as the whole input (the peek may stop anywhere).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "apr_strings.h"
#include "../unit/core/client_hello_builder.h"
#include "client_hello.h"
#include "handoff_route.h"

using kalder::test::Bytes;
using namespace kalder::tls;

namespace {

// KALDER_FUZZ_TRACE=1 prints the parser's field trace (for reading a crash).
const bool print_trace = std::getenv("KALDER_FUZZ_TRACE") != nullptr;

void print_line(void *, const char *, int, int, int, const char *text)
{
    if (print_trace)
        std::fprintf(stderr, "  %s\n", text);
}

// Every line is formatted, and printed on request.
LogSink trace_sink()
{
    return LogSink{print_line, nullptr, KLOG_TRACE8};
}

// The main server (with an "acme-tls/1" entry) and two virtual hosts with
// an alias and a wildcard alias each, in configuration order.
struct Routes {
    apr_pool_t *pool = nullptr;
    RouteHost hosts[3];
    Routes()
    {
        apr_initialize();
        apr_pool_create(&pool, nullptr);
        hosts[0] = host("collection.example.org", "acme-tls/1", "/run/acme.sock");
        hosts[1] = host("a.test", "h2", "/run/a-h2.sock");
        hosts[2] = host("b.test", "*", "/run/b-any.sock");
    }
    RouteHost host(const char *name, const char *key, const char *path)
    {
        apr_array_header_t *aliases = apr_array_make(pool, 1, sizeof(char *));
        APR_ARRAY_PUSH(aliases, const char *) = "alias.test";
        apr_array_header_t *wildcards = apr_array_make(pool, 1, sizeof(char *));
        APR_ARRAY_PUSH(wildcards, const char *) = "*.wild.test";
        apr_table_t *sockets = apr_table_make(pool, 1);
        apr_table_set(sockets, key, path);
        return RouteHost{name, aliases, wildcards, sockets};
    }
};

// Reads fields off the front of the input.
struct Reader {
    const uint8_t *p;
    size_t n;
    uint8_t byte() { return n ? (--n, *p++) : 0; }
    std::string text(size_t max)
    {
        size_t len = byte() % (max + 1);
        if (len > n)
            len = n;
        std::string s(reinterpret_cast<const char *>(p), len);
        p += len;
        n -= len;
        return s;
    }
};

Bytes structured(Reader in)
{
    static const char *const names[] = {"a.test",     "b.test",      "A.TEST", "x.wild.test",
                                        "alias.test", "nobody.test", ""};
    static const char *const protocols[] = {"h2", "http/1.1", "acme-tls/1", "*", ""};
    kalder::test::ClientHelloBuilder h;
    h.session_id.assign(in.byte() % 33, 0x11);
    const uint8_t shape = in.byte();
    if (shape & 1)
        h.sni(shape & 2 ? std::string(names[in.byte() % 7]) : in.text(64));
    if (shape & 4) {
        Bytes list;
        for (int i = in.byte() % 4; i >= 0; --i) {
            const std::string proto = shape & 8 ? std::string(protocols[in.byte() % 5]) : in.text(16);
            list.push_back(static_cast<uint8_t>(proto.size()));
            kalder::test::append(list, proto);
        }
        Bytes data;
        kalder::test::put16(data, list.size());
        kalder::test::append(data, list);
        h.ext(16, data);
    }
    if (shape & 16)
        h.ext(0x0a0a, Bytes(in.byte() % 8, 0));
    if (shape & 32)
        h.trailing.assign(in.byte() % 4, 0xee);
    if (shape & 64)
        h.with_extensions = false;
    const size_t size = h.handshake().size();
    std::vector<size_t> cuts;
    for (size_t at = 0, k = in.byte() % 4; k > 0; --k) {
        at += 1 + in.byte();
        if (at >= size)
            break;
        cuts.push_back(at);
    }
    Bytes b = h.records(cuts);
    // A few alterations at chosen places.
    for (int k = in.byte() % 4; k > 0 && !b.empty(); --k) {
        const size_t at = ((size_t{in.byte()} << 8) | in.byte()) % b.size();
        b[at] ^= in.byte();
    }
    return b;
}

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        __builtin_trap();
    }
}

void check_parse(const HelloParse &p, size_t len)
{
    if (p.outcome == HelloOutcome::INCOMPLETE) {
        check(p.bytes_needed > len, "incomplete asks for more than it saw");
        check(p.bytes_needed <= PEEK_SIZE, "incomplete stays within the peek");
    }
    if (p.outcome == HelloOutcome::CANDIDATE)
        check((p.has_sni && p.sni) || (p.has_alpn && p.alpn), "a candidate has a complete capture");
    else
        check(!p.sni && !p.alpn, "captures are released unless handed to the decision");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Routes routes;
    if (size == 0)
        return 0;
    Reader in{data + 1, size - 1};
    const Bytes input = data[0] & 1 ? Bytes(data + 1, data + size) : structured(in);
    const size_t len = input.size() < PEEK_SIZE ? input.size() : PEEK_SIZE;

    HelloParse whole;
    parse_client_hello(input.data(), len, whole, (data[0] & 2) || print_trace ? trace_sink() : log_discard());
    check_parse(whole, len);
    if (whole.outcome == HelloOutcome::CANDIDATE) {
        apr_pool_t *pool = nullptr;
        apr_pool_create(&pool, routes.pool);
        const char *path = choose_socket_path(pool, HandoffRoutes{routes.hosts, 3}, whole, trace_sink());
        check(!path || std::strncmp(path, "/run/", 5) == 0, "a path comes from the configuration");
        apr_pool_destroy(pool);
    }

    // Any prefix: incomplete or the same answer.
    const size_t cut = len ? ((size_t{data[0]} << 4) + size) % (len + 1) : 0;
    HelloParse prefix;
    if (print_trace)
        std::fprintf(stderr, "prefix of %zu bytes:\n", cut);
    parse_client_hello(input.data(), cut, prefix, print_trace ? trace_sink() : log_discard());
    check_parse(prefix, cut);
    if (!(prefix.outcome == HelloOutcome::INCOMPLETE || prefix.outcome == whole.outcome))
        std::fprintf(stderr, "whole %zu bytes: %d, prefix %zu bytes: %d\n", len,
                     static_cast<int>(whole.outcome), cut, static_cast<int>(prefix.outcome));
    check(prefix.outcome == HelloOutcome::INCOMPLETE || prefix.outcome == whole.outcome,
          "a prefix is incomplete or agrees with the whole");
    if (prefix.outcome == HelloOutcome::CANDIDATE) {
        check(prefix.has_sni == whole.has_sni && prefix.has_alpn == whole.has_alpn, "same captures");
        check(!prefix.has_sni ||
                  (prefix.sni_len == whole.sni_len && std::memcmp(prefix.sni, whole.sni, whole.sni_len) == 0),
              "same server name");
        check(!prefix.has_alpn || (prefix.alpn_len == whole.alpn_len &&
                                   std::memcmp(prefix.alpn, whole.alpn, whole.alpn_len) == 0),
              "same protocols");
    }
    return 0;
}
