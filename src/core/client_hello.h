// The ClientHello walk of the TLS peek: the records and the handshake in
// the first bytes of a connection, and the server_name and ALPN extensions
// captured from it. Plain functions over bytes, with no socket in sight.
#ifndef KALDER_CORE_CLIENT_HELLO_H
#define KALDER_CORE_CLIENT_HELLO_H

#include <cstddef>
#include <cstdint>

#include "log_sink.h"

namespace kalder::tls {

// The peek never looks at more than this many bytes of a new connection.
inline constexpr size_t PEEK_SIZE = 8000;

enum class HelloOutcome {
    INCOMPLETE,    // more bytes must arrive before anything can be said
    PASS_THROUGH,  // not a ClientHello we hand off: let TLS/HTTP proceed
    CANDIDATE,     // a ClientHello with a server_name and/or ALPN captured
};

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
// Never reads past len. Every field byte is traced at KLOG_TRACE5 when the
// sink writes that level (and not even formatted otherwise).
void parse_client_hello(const uint8_t *data, size_t len, HelloParse &out, const LogSink &trace);

// The first host_name of a captured server_name extension. Returns false
// when the name is absent (malformed entry or a non-host_name type);
// otherwise sets name/name_len (possibly to an empty name).
bool server_name_from_sni(const uint8_t *sni, size_t sni_len, bool has_sni, const uint8_t **name,
                          size_t *name_len);

// Client-controlled bytes made fit for a log line: control characters and
// non-ASCII bytes become '?', cut to out_size - 1 bytes; returns out.
const char *printable(const uint8_t *p, size_t n, char *out, size_t out_size);

}  // namespace kalder::tls

#endif
