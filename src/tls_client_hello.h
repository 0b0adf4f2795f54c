// ClientHello peek: the parser and the hand-off decision as plain functions
// over bytes, used by the TLS_PEEK network bucket (bucket_tls_peek.cpp) and
// exercised directly by the unit tests and the fuzzer.
#ifndef MOD_KALDER_TLS_CLIENT_HELLO_H
#define MOD_KALDER_TLS_CLIENT_HELLO_H

#include <cstddef>
#include <cstdint>

#include "httpd.h"

namespace kalder::tls {

// The peek never looks at more than this many bytes of a new connection.
inline constexpr size_t PEEK_SIZE = 8000;

enum class HelloOutcome {
    INCOMPLETE,    // more bytes must arrive before anything can be said
    PASS_THROUGH,  // not a ClientHello we hand off: let TLS/HTTP proceed
    CANDIDATE,     // a ClientHello with a server_name and/or ALPN captured
};

// Receives one trace line; the parser only calls it when one was given.
using TraceFn = void (*)(void *ctx, const char *fmt, ...);

// What the parse of the peeked bytes found. The captured extension data
// are heap copies owned by this record (freed by its destructor).
struct HelloParse {
    HelloOutcome outcome = HelloOutcome::PASS_THROUGH;
    // INCOMPLETE: the number of bytes from the start of the peek that must
    // be present before a new parse can get further (end of the record or
    // record header the bytes stopped in, at most PEEK_SIZE).
    size_t bytes_needed = 0;
    // CANDIDATE: each capture is present only when its extension arrived
    // completely. A missing ALPN extension means the default list "*".
    uint8_t *sni = nullptr;
    size_t sni_len = 0;
    bool has_sni = false;
    uint8_t *alpn = nullptr;
    size_t alpn_len = 0;
    bool has_alpn = false;

    HelloParse() = default;
    ~HelloParse();
    HelloParse(const HelloParse &) = delete;
    HelloParse &operator=(const HelloParse &) = delete;
    void release_captures();
};

// Walks the TLS records in data[0..len) and the ClientHello inside them.
// Never reads past len. trace may be null.
void parse_client_hello(const uint8_t *data, size_t len, HelloParse &out, TraceFn trace = nullptr,
                        void *trace_ctx = nullptr);

// The first host_name of a captured server_name extension. Returns false
// when the name is absent (malformed entry or a non-host_name type);
// otherwise sets name/name_len (possibly to an empty name).
bool server_name_from_sni(const uint8_t *sni, size_t sni_len, bool has_sni, const uint8_t **name,
                          size_t *name_len);

// True when name is null, equals the server's ServerName or one of its
// ServerAlias names (case-insensitive), or matches a wildcard alias.
bool server_matches_name(const char *name, const server_rec *server);

// The Unix socket path for this ClientHello over the server chain that
// starts at `chain` (the main server, linked as httpd links it: the last
// virtual host read first), or null for pass-through. Servers are searched
// in configuration order, main server first. `pool` holds the copy of the
// server name and the ordered server list.
const char *choose_socket_path(apr_pool_t *pool, const server_rec *chain, const HelloParse &hello);

}  // namespace kalder::tls

#endif
