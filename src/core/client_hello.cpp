// The ClientHello walk: TLS records, the handshake message inside them
// (possibly spread over several records) and the two extensions the
// hand-off decision needs.
//
// Wire format walked here (big-endian):
//
//   record:      type(1)=22  version(2)=3.x, x>0  length(2)  payload...
//   handshake:   msg_type(1)=1  length(3)  -- may span several records --
//   ClientHello: client_version(2) random(32)
//                session_id_len(1) session_id(n)
//                cipher_suites_len(2) cipher_suites(n)
//                compression_len(1) compression(n)
//                [extensions_len(2) { type(2) data_len(2) data(n) }...]
//   server_name (type 0):  list_len(2) name_type(1)=0 name_len(2) name(n)
//   ALPN (type 16):        list_len(2) { proto_len(1) proto(n) }...
#define KALDER_SOURCE "bucket_tls_peek"
#include "client_hello.h"

#include <cstdlib>

namespace kalder::tls {

HelloParse::~HelloParse()
{
    release_captures();
}

void HelloParse::release_captures()
{
    std::free(sni);
    std::free(alpn);
    sni = alpn = nullptr;
    sni_len = alpn_len = 0;
    has_sni = has_alpn = false;
}

const char *printable(const uint8_t *p, size_t n, char *out, size_t out_size)
{
    size_t i = 0;
    for (; i < n && i + 1 < out_size; ++i)
        out[i] = (p[i] >= 0x20 && p[i] < 0x7f) ? static_cast<char>(p[i]) : '?';
    out[i] = '\0';
    return out;
}

namespace {

constexpr uint8_t CONTENT_HANDSHAKE = 22;
constexpr uint8_t HANDSHAKE_CLIENT_HELLO = 1;
constexpr size_t RECORD_HEADER = 5;
constexpr size_t MAX_RECORD_PAYLOAD = 16384 + 2048;  // largest TLSCiphertext
constexpr unsigned EXT_SERVER_NAME = 0;
constexpr unsigned EXT_ALPN = 16;

enum class Field {
    MSG_TYPE,
    LENGTH,
    CLIENT_PROTOCOL,
    RANDOM,
    SESSION_ID_LENGTH,
    SESSION_ID,
    CIPHER_SUITE_LENGTH,
    CIPHER_SUITE,
    COMPRESSION_METHOD_LENGTH,
    COMPRESSION_METHOD,
    EXTENSIONS_LENGTH,
    EXTENSION_TYPE,
    EXTENSION_DATA_LENGTH,
    EXTENSION_DATA,
};

enum class Step {
    MORE,           // feed the next byte
    HELLO_DONE,     // the handshake's declared length has been consumed
    BOTH_CAPTURED,  // server_name and ALPN are complete: no need to go on
    PASS,           // not something we hand off
};

// The ClientHello state machine, fed one handshake byte at a time so that a
// message split across records is reassembled without copying. Every length
// is checked against what its enclosing structure has left.
class HelloMachine {
   public:
    HelloMachine(HelloParse &out, const LogSink &log)
        : out_(out), log_(log), tracing_(log_enabled(log, KLOG_TRACE5))
    {
    }

    Step feed(uint8_t byte);
    bool capture_started() const { return sni_started_ || alpn_started_; }

   private:
    void enter(Field f, uint32_t size);
    Step field_done();
    Step start_capture(uint32_t length);
    Step finish_extension();
    void trace_byte(uint8_t byte);
    void trace_summary(bool sni);

    HelloParse &out_;
    const LogSink &log_;
    bool tracing_;  // whether field traces are written at all

    Field field_ = Field::MSG_TYPE;
    uint32_t field_size_ = 1;
    uint32_t field_pos_ = 0;
    uint32_t value_ = 0;

    uint32_t hs_total_ = 0;  // handshake length + 4 header bytes
    uint32_t hs_consumed_ = 0;
    uint32_t ext_total_ = 0;
    uint32_t ext_consumed_ = 0;
    bool in_extensions_ = false;
    bool after_compression_ = false;  // the no-extensions end point
    bool ext_vector_done_ = false;    // the extensions end point

    int ext_index_ = -1;
    uint32_t ext_type_ = 0;
    uint8_t **capture_ = nullptr;  // &out_.sni or &out_.alpn while copying
    uint32_t capture_len_ = 0;
    bool sni_started_ = false;
    bool alpn_started_ = false;
};

void HelloMachine::enter(Field f, uint32_t size)
{
    field_ = f;
    field_size_ = size;
    field_pos_ = 0;
    value_ = 0;
}

void HelloMachine::trace_byte(uint8_t byte)
{
    if (!tracing_)
        return;
    const int i = static_cast<int>(field_pos_);
    switch (field_) {
        case Field::MSG_TYPE:
            KLOG(log_, KLOG_TRACE5, 0, "MSG_TYPE=%d", byte);
            break;
        case Field::LENGTH:
            KLOG(log_, KLOG_TRACE5, 0, "LENGTH[%d]=%d", i, byte);
            break;
        case Field::CLIENT_PROTOCOL:
            KLOG(log_, KLOG_TRACE5, 0, "CLIENT_PROTOCOL[%d]=%d", i, byte);
            break;
        case Field::RANDOM:
            KLOG(log_, KLOG_TRACE5, 0, "RANDOM[%d]=%d", i, byte);
            break;
        case Field::SESSION_ID_LENGTH:
            KLOG(log_, KLOG_TRACE5, 0, "SESSION_ID_LENGTH[%d]=%d", i, byte);
            break;
        case Field::SESSION_ID:
            KLOG(log_, KLOG_TRACE5, 0, "SESSION_ID[%d]=%d", i, byte);
            break;
        case Field::CIPHER_SUITE_LENGTH:
            KLOG(log_, KLOG_TRACE5, 0, "CIPHER_SUITE_LENGTH[%d]=%d", i, byte);
            break;
        case Field::CIPHER_SUITE:
            KLOG(log_, KLOG_TRACE5, 0, "CIPHER_SUITE[%d]=%d", i, byte);
            break;
        case Field::COMPRESSION_METHOD_LENGTH:
            KLOG(log_, KLOG_TRACE5, 0, "COMPRESSION_METHOD_LENGTH[%d]=%d", i, byte);
            break;
        case Field::COMPRESSION_METHOD:
            KLOG(log_, KLOG_TRACE5, 0, "COMPRESSION_METHOD[%d]=%d", i, byte);
            break;
        case Field::EXTENSIONS_LENGTH:
            KLOG(log_, KLOG_TRACE5, 0, "EXTENSIONS_LENGTH[%d]=%d", i, byte);
            break;
        case Field::EXTENSION_TYPE:
            KLOG(log_, KLOG_TRACE5, 0, "EXTENSION_TYPE[%d]=%#x", i, byte);
            break;
        case Field::EXTENSION_DATA_LENGTH:
            KLOG(log_, KLOG_TRACE5, 0, "EXTENSION_DATA_LENGTH[%d]=%d", i, byte);
            break;
        case Field::EXTENSION_DATA:
            KLOG(log_, KLOG_TRACE5, 0, "EXTENSION[%d]DATA[%d]=%#x", ext_index_, i, byte);
            break;
    }
}

void HelloMachine::trace_summary(bool sni)
{
    if (!tracing_)
        return;
    char text[256];
    if (sni) {
        const uint8_t *p = out_.sni;
        const size_t n = out_.sni_len;
        if (n < 5)
            return;
        const unsigned name_len = (p[3] << 8) | p[4];
        if (5 + name_len > n)
            return;
        KLOG(log_, KLOG_TRACE5, 0, "SNI: NAME_LIST_LEN=%d NAME_TYPE=%d NAME_LEN=%d NAME=%.*s",
             (p[0] << 8) | p[1], p[2], name_len, static_cast<int>(name_len),
             printable(p + 5, name_len, text, sizeof text));
    } else {
        const uint8_t *p = out_.alpn;
        const size_t n = out_.alpn_len;
        if (n < 3)
            return;
        const unsigned proto_len = p[2];
        if (3 + proto_len > n)
            return;
        KLOG(log_, KLOG_TRACE5, 0, "ALPN: PROTOCOL_LIST_LEN=%d PROTOCOL_LEN=%d PROTOCOL=%.*s",
             (p[0] << 8) | p[1], proto_len, static_cast<int>(proto_len),
             printable(p + 3, proto_len, text, sizeof text));
    }
}

Step HelloMachine::start_capture(uint32_t length)
{
    const bool sni = ext_type_ == EXT_SERVER_NAME;
    KLOG(log_, KLOG_TRACE5, 0, sni ? "SNI_EXTENSION_LENGTH=%d" : "ALPN_EXTENSION_LENGTH=%d",
         static_cast<int>(length));
    // A later extension of the same type replaces an earlier one.
    uint8_t *&slot = sni ? out_.sni : out_.alpn;
    std::free(slot);
    slot = static_cast<uint8_t *>(std::malloc(length ? length : 1));
    if (!slot)
        return Step::PASS;
    (sni ? out_.sni_len : out_.alpn_len) = length;
    (sni ? out_.has_sni : out_.has_alpn) = false;
    (sni ? sni_started_ : alpn_started_) = true;
    capture_ = &slot;
    capture_len_ = length;
    return Step::MORE;
}

// One extension's data is complete (or it had none).
Step HelloMachine::finish_extension()
{
    if (capture_) {
        const bool sni = capture_ == &out_.sni;
        (sni ? out_.has_sni : out_.has_alpn) = true;
        capture_ = nullptr;
        trace_summary(sni);
        if (out_.has_sni && out_.has_alpn)
            return Step::BOTH_CAPTURED;
    }
    if (ext_consumed_ == ext_total_) {
        ext_vector_done_ = true;
        if (hs_consumed_ < hs_total_) {
            KLOG(log_, KLOG_TRACE5, 0, "processed entire extensions vector, returning emismatch");
            return Step::PASS;
        }
        return Step::MORE;  // the caller sees the handshake end
    }
    enter(Field::EXTENSION_TYPE, 2);
    return Step::MORE;
}

// The current field has all its bytes; value_ holds integer fields.
Step HelloMachine::field_done()
{
    switch (field_) {
        case Field::MSG_TYPE:
            if (value_ != HANDSHAKE_CLIENT_HELLO)
                return Step::PASS;
            enter(Field::LENGTH, 3);
            return Step::MORE;
        case Field::LENGTH:
            hs_total_ = value_ + 4;
            enter(Field::CLIENT_PROTOCOL, 2);
            return Step::MORE;
        case Field::CLIENT_PROTOCOL:
            enter(Field::RANDOM, 32);
            return Step::MORE;
        case Field::RANDOM:
            enter(Field::SESSION_ID_LENGTH, 1);
            return Step::MORE;
        case Field::SESSION_ID_LENGTH:
            if (value_ > 0) {
                enter(Field::SESSION_ID, value_);
                return Step::MORE;
            }
            [[fallthrough]];
        case Field::SESSION_ID:
            enter(Field::CIPHER_SUITE_LENGTH, 2);
            return Step::MORE;
        case Field::CIPHER_SUITE_LENGTH:
            if (value_ > 0) {
                enter(Field::CIPHER_SUITE, value_);
                return Step::MORE;
            }
            [[fallthrough]];
        case Field::CIPHER_SUITE:
            enter(Field::COMPRESSION_METHOD_LENGTH, 1);
            return Step::MORE;
        case Field::COMPRESSION_METHOD_LENGTH:
            if (value_ > 0) {
                enter(Field::COMPRESSION_METHOD, value_);
                return Step::MORE;
            }
            [[fallthrough]];
        case Field::COMPRESSION_METHOD:
            after_compression_ = true;
            enter(Field::EXTENSIONS_LENGTH, 2);
            return Step::MORE;
        case Field::EXTENSIONS_LENGTH:
            after_compression_ = false;
            ext_total_ = value_;
            ext_consumed_ = 0;
            in_extensions_ = true;
            // The vector must fit in what is left of the handshake.
            if (ext_total_ > hs_total_ - hs_consumed_)
                return Step::PASS;
            return finish_extension();
        case Field::EXTENSION_TYPE:
            ext_type_ = value_;
            ++ext_index_;
            enter(Field::EXTENSION_DATA_LENGTH, 2);
            return Step::MORE;
        case Field::EXTENSION_DATA_LENGTH:
            if (value_ > ext_total_ - ext_consumed_)
                return Step::PASS;
            if (ext_type_ == EXT_SERVER_NAME || ext_type_ == EXT_ALPN) {
                if (start_capture(value_) == Step::PASS)
                    return Step::PASS;
            }
            if (value_ > 0) {
                enter(Field::EXTENSION_DATA, value_);
                return Step::MORE;
            }
            return finish_extension();
        case Field::EXTENSION_DATA:
            return finish_extension();
    }
    return Step::PASS;
}

Step HelloMachine::feed(uint8_t byte)
{
    trace_byte(byte);
    if (field_ == Field::EXTENSION_DATA && capture_)
        (*capture_)[field_pos_] = byte;
    if (field_size_ <= 4)
        value_ = (value_ << 8) | byte;
    ++field_pos_;
    ++hs_consumed_;
    if (in_extensions_)
        ++ext_consumed_;

    Step step = Step::MORE;
    if (field_pos_ == field_size_)
        step = field_done();
    if (step != Step::MORE)
        return step;

    if (hs_total_ != 0 && hs_consumed_ == hs_total_) {
        // The handshake ends: only at one of its two sound end points.
        const bool no_extensions =
            after_compression_ && field_ == Field::EXTENSIONS_LENGTH && field_pos_ == 0;
        return no_extensions || ext_vector_done_ ? Step::HELLO_DONE : Step::PASS;
    }
    return Step::MORE;
}

}  // namespace

void parse_client_hello(const uint8_t *data, size_t len, HelloParse &out, const LogSink &trace)
{
    out.release_captures();
    out.outcome = HelloOutcome::PASS_THROUGH;
    out.bytes_needed = 0;

    HelloMachine machine(out, trace);
    auto finish = [&](HelloOutcome outcome) {
        out.outcome = outcome;
        if (outcome != HelloOutcome::CANDIDATE)
            out.release_captures();
    };
    auto incomplete = [&](size_t needed) {
        // Bytes beyond the peek can never be seen: once the peek is full, a
        // ClientHello still unfinished is left to the TLS layer rather than
        // waited for in vain.
        if (len >= PEEK_SIZE) {
            finish(HelloOutcome::PASS_THROUGH);
            return;
        }
        out.bytes_needed = needed < PEEK_SIZE ? needed : PEEK_SIZE;
        finish(HelloOutcome::INCOMPLETE);
    };
    // A complete ClientHello whose end point is sound: hand-off candidate
    // when it carried a complete server_name or ALPN extension.
    auto decide = [&]() {
        finish(out.has_sni || out.has_alpn ? HelloOutcome::CANDIDATE : HelloOutcome::PASS_THROUGH);
    };

    size_t pos = 0;
    for (;;) {
        const size_t left = len - pos;
        const uint8_t *h = data + pos;
        // Whatever part of the header is there already tells a record that
        // is not a TLS handshake (plain HTTP, SSL 3.0) from one that may be.
        if ((left > 0 && h[0] != CONTENT_HANDSHAKE) || (left > 1 && h[1] != 3) || (left > 2 && h[2] == 0)) {
            finish(HelloOutcome::PASS_THROUGH);
            return;
        }
        if (left < RECORD_HEADER) {
            // The bytes end between records, before the ClientHello did.
            incomplete(pos + RECORD_HEADER);
            return;
        }
        const size_t record_len = (static_cast<size_t>(h[3]) << 8) | h[4];
        if (record_len > MAX_RECORD_PAYLOAD) {
            finish(HelloOutcome::PASS_THROUGH);
            return;
        }
        const size_t avail = left - RECORD_HEADER < record_len ? left - RECORD_HEADER : record_len;
        const uint8_t *payload = h + RECORD_HEADER;
        for (size_t i = 0; i < avail; ++i) {
            const Step step = machine.feed(payload[i]);
            if (step == Step::MORE)
                continue;
            if (step == Step::PASS) {
                finish(HelloOutcome::PASS_THROUGH);
                return;
            }
            if (step == Step::BOTH_CAPTURED) {
                decide();
                return;
            }
            // HELLO_DONE: normally at the end of the record. Anything else
            // in the same record is unexpected; trust only a complete ALPN.
            if (i + 1 < record_len) {
                KLOG(trace, KLOG_TRACE5, 0, "processed entire handshake");
                if (!out.has_alpn) {
                    finish(HelloOutcome::PASS_THROUGH);
                    return;
                }
            }
            decide();
            return;
        }
        if (avail < record_len) {
            incomplete(pos + RECORD_HEADER + record_len);
            return;
        }
        KLOG(trace, KLOG_TRACE5, 0, "processed entire fragment");
        pos += RECORD_HEADER + record_len;
    }
}

bool server_name_from_sni(const uint8_t *sni, size_t sni_len, bool has_sni, const uint8_t **name,
                          size_t *name_len)
{
    static const uint8_t empty = 0;
    *name = &empty;
    *name_len = 0;
    if (!has_sni || sni_len == 0)
        return true;
    if (sni_len < 3)
        return sni[0] == 0;
    if (sni[2] != 0)  // only host_name (0) is a name
        return false;
    if (sni_len < 6)
        return true;
    const size_t n = (static_cast<size_t>(sni[3]) << 8) | sni[4];
    if (n + 5 > sni_len)
        return false;
    *name = sni + 5;
    *name_len = n;
    return true;
}

}  // namespace kalder::tls
