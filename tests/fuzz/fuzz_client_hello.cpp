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
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "apr_strings.h"
#include "client_hello_builder.h"
#include "testing.h"
#include "tls_client_hello.h"

using kalder::test::Bytes;
using namespace kalder::tls;

namespace {

// KALDER_FUZZ_TRACE=1 prints the parser's field trace (for reading a crash).
const bool print_trace = std::getenv("KALDER_FUZZ_TRACE") != nullptr;

void trace(void *, const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (print_trace)
        std::fprintf(stderr, "  %s\n", line);
}

struct Chain {
    kalder::test::TestServer main;
    Chain()
    {
        main.server()->log.level = APLOG_DEBUG;
        apr_table_set(main.config()->unix_sockets, "acme-tls/1", "/run/acme.sock");
        add("a.test", "h2", "/run/a-h2.sock");
        add("b.test", "*", "/run/b-any.sock");
    }
    void add(const char *name, const char *key, const char *path)
    {
        apr_pool_t *p = main.pool();
        auto *s = static_cast<server_rec *>(apr_pcalloc(p, sizeof(server_rec)));
        s->server_hostname = apr_pstrdup(p, name);
        s->names = apr_array_make(p, 1, sizeof(char *));
        *static_cast<const char **>(apr_array_push(s->names)) = "alias.test";
        s->wild_names = apr_array_make(p, 1, sizeof(char *));
        *static_cast<const char **>(apr_array_push(s->wild_names)) = "*.wild.test";
        auto **vector = static_cast<void **>(apr_pcalloc(p, sizeof(void *)));
        auto *conf = static_cast<ServerConfig *>(mod_kalder_create_server_config(p, s));
        apr_table_set(conf->unix_sockets, key, path);
        vector[0] = conf;
        s->module_config = reinterpret_cast<ap_conf_vector_t *>(vector);
        // Linked as httpd links virtual hosts: each in front of those read
        // before it.
        s->next = main.server()->next;
        main.server()->next = s;
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
    static const char *const names[] = {"a.test", "b.test", "A.TEST", "x.wild.test", "alias.test", "nobody.test", ""};
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
    static Chain chain;
    if (size == 0)
        return 0;
    Reader in{data + 1, size - 1};
    const Bytes input = data[0] & 1 ? Bytes(data + 1, data + size) : structured(in);
    const size_t len = input.size() < PEEK_SIZE ? input.size() : PEEK_SIZE;

    HelloParse whole;
    parse_client_hello(input.data(), len, whole, (data[0] & 2) || print_trace ? trace : nullptr, nullptr);
    check_parse(whole, len);
    if (whole.outcome == HelloOutcome::CANDIDATE) {
        apr_pool_t *pool = nullptr;
        apr_pool_create(&pool, chain.main.pool());
        const char *path = choose_socket_path(pool, chain.main.server(), whole);
        check(!path || std::strncmp(path, "/run/", 5) == 0, "a path comes from the configuration");
        apr_pool_destroy(pool);
    }

    // Any prefix: incomplete or the same answer.
    const size_t cut = len ? ((size_t{data[0]} << 4) + size) % (len + 1) : 0;
    HelloParse prefix;
    if (print_trace)
        std::fprintf(stderr, "prefix of %zu bytes:\n", cut);
    parse_client_hello(input.data(), cut, prefix, print_trace ? trace : nullptr, nullptr);
    check_parse(prefix, cut);
    if (!(prefix.outcome == HelloOutcome::INCOMPLETE || prefix.outcome == whole.outcome))
        std::fprintf(stderr, "whole %zu bytes: %d, prefix %zu bytes: %d\n", len, static_cast<int>(whole.outcome), cut,
                     static_cast<int>(prefix.outcome));
    check(prefix.outcome == HelloOutcome::INCOMPLETE || prefix.outcome == whole.outcome,
          "a prefix is incomplete or agrees with the whole");
    if (prefix.outcome == HelloOutcome::CANDIDATE) {
        check(prefix.has_sni == whole.has_sni && prefix.has_alpn == whole.has_alpn, "same captures");
        check(!prefix.has_sni || (prefix.sni_len == whole.sni_len &&
                                  std::memcmp(prefix.sni, whole.sni, whole.sni_len) == 0), "same server name");
        check(!prefix.has_alpn || (prefix.alpn_len == whole.alpn_len &&
                                   std::memcmp(prefix.alpn, whole.alpn, whole.alpn_len) == 0), "same protocols");
    }
    kalder::test::clear_log();
    return 0;
}
