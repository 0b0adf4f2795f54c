// Encoder and decoder of IPC frames (layout in kalder_ipc_wire.h and
// docs/ipc-protocol.md). The decoder treats its input as hostile: every
// length is checked against what is left and against its field's bound.
#include "kalder_ipc_wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "wire_codec.h"

namespace kalder_ipc {
namespace {

using namespace codec;

bool decode_transfer(Reader &r, Message *m)
{
    uint32_t nranges;
    if (!r.str(&m->pathname, kMaxPath, "path") || !r.i64(&m->partial_offset) || !r.i64(&m->partial_length) ||
        !r.u8(&m->truncate) || !r.u32(&m->data_id) || !r.u32(&m->eof_count) || !r.i64(&m->alloc_size) ||
        !r.u32(&nranges))
        return false;
    if (nranges > kMaxRanges)
        return r.fail("too many ranges");
    m->ranges.clear();
    m->ranges.reserve(nranges);  // bounded by kMaxRanges
    for (uint32_t i = 0; i < nranges; ++i) {
        Range rg;
        if (!r.i64(&rg.offset) || !r.i64(&rg.length))
            return false;
        m->ranges.push_back(rg);
    }
    return m->version < 2 || decode_transfer_v2(r, m);
}

bool decode_reply(Reader &r, Message *m)
{
    if (!r.u32(&m->op) || !r.u32(&m->code) || !r.str(&m->error, kMaxText, "error text") ||
        !r.str(&m->msg, kMaxText, "message"))
        return false;
    if ((m->code == 0) != m->error.empty())
        return r.fail("error text present exactly when the code is not 0");
    switch (m->op) {
        case OP_SESSION:
            return r.str(&m->username, kMaxUsername, "user name") &&
                   r.str(&m->home_dir, kMaxPath, "home directory");
        case OP_COMMAND:
            return r.u32(&m->command) && r.str(&m->created_dir, kMaxPath, "created directory");
        case OP_ACTIVE:
            return r.u32(&m->data_id);
        case OP_TRANSFER:
            return r.i64(&m->bytes) && (m->version < 3 || decode_stored_file(r, m));
        case OP_STAT:
            return decode_stat_list(r, m->version, &m->stats);
        case OP_DIGEST:
            if (m->version >= 2)
                return decode_digest_reply(r, m);
            break;
        case OP_LIST:
            if (m->version >= 2)
                return decode_list_reply(r, m);
            break;
        default:
            break;
    }
    return r.fail("unknown reply operation type");
}

}  // namespace

bool parse_header(const uint8_t *b, Header *out, std::string *why)
{
    if (b[0] != kMagic0 || b[1] != kMagic1) {
        *why = "bad frame magic";
        return false;
    }
    if (b[2] < kVersion1 || b[2] > kVersion) {
        *why = "unsupported protocol version " + std::to_string(b[2]);
        return false;
    }
    out->version = b[2];
    out->type = b[3];
    out->id = static_cast<uint32_t>(b[4]) << 24 | static_cast<uint32_t>(b[5]) << 16 |
              static_cast<uint32_t>(b[6]) << 8 | b[7];
    out->length = static_cast<uint32_t>(b[8]) << 24 | static_cast<uint32_t>(b[9]) << 16 |
                  static_cast<uint32_t>(b[10]) << 8 | b[11];
    switch (out->type) {
        case SESSION_START:
        case COMMAND:
        case STAT:
        case ACTIVE_DATA:
        case SEND:
        case RECV:
        case EVENT:
        case SESSION_END:
        case REPLY:
        case EVENT_NOTIFY:
        case END_ACK:
            break;
        case DIGEST:
        case LIST:
            if (out->version >= 2)
                break;
            [[fallthrough]];
        default:
            *why = "unknown frame type " + std::to_string(out->type);
            return false;
    }
    if (out->length > kMaxPayload) {
        *why = "payload of " + std::to_string(out->length) + " bytes exceeds the bound";
        return false;
    }
    return true;
}

bool decode(const Header &h, const uint8_t *payload, size_t len, Message *m, std::string *why)
{
    *m = Message();
    m->version = h.version;
    m->type = h.type;
    m->id = h.id;
    if (len != h.length) {
        *why = "payload length does not match the header";
        return false;
    }
    Reader r(payload, len);
    bool ok = false;
    switch (h.type) {
        case SESSION_START:
            ok = r.str(&m->username, kMaxUsername, "user name") &&
                 r.str(&m->subject, kMaxSubject, "subject") && r.str(&m->host_id, kMaxContact, "host id") &&
                 r.u8(&m->map_user) && r.str(&m->credential, kMaxCredential, "credential");
            break;
        case COMMAND:
            ok = r.u32(&m->command) && r.str(&m->pathname, kMaxRestrict, "path") &&
                 (m->version < 2 || decode_validator(r, &m->precondition));
            break;
        case STAT:
            ok = r.u8(&m->file_only) && r.str(&m->pathname, kMaxPath, "path");
            break;
        case ACTIVE_DATA: {
            uint32_t n;
            ok = r.u8(&m->ipv6) && r.u32(&m->nstreams) && r.u8(&m->mode) && r.u8(&m->dtype) &&
                 r.u8(&m->prot) && r.u8(&m->dcau) && r.u64(&m->tcp_bufsize) && r.u64(&m->blocksize) &&
                 r.str(&m->pathname, kMaxPath, "path") && r.u32(&n);
            if (ok && (n == 0 || n > kMaxContacts))
                ok = r.fail("contact count out of bounds");
            for (uint32_t i = 0; ok && i < n; ++i) {
                std::string c;
                ok = r.str(&c, kMaxContact, "contact");
                if (ok)
                    m->contacts.push_back(std::move(c));
            }
            break;
        }
        case SEND:
        case RECV:
            ok = decode_transfer(r, m);
            break;
        case EVENT:
        case EVENT_NOTIFY:
            ok = r.u32(&m->event_type) && r.u32(&m->event_arg);
            break;
        case SESSION_END:
        case END_ACK:
            ok = true;
            break;
        case REPLY:
            ok = decode_reply(r, m);
            break;
        case DIGEST:
            ok = m->version >= 2 ? decode_digest_request(r, m) : r.fail("unknown frame type");
            break;
        case LIST:
            ok = m->version >= 2 ? decode_list_request(r, m) : r.fail("unknown frame type");
            break;
        default:
            ok = r.fail("unknown frame type");
    }
    ok = ok && r.done();
    if (!ok)
        *why = r.why();
    return ok;
}

bool encode(const Message &m, std::string *frame, std::string *why)
{
    why->clear();
    if (m.version < kVersion1 || m.version > kVersion) {
        *why = "unsupported protocol version";
        return false;
    }
    const bool v2 = m.version >= 2;
    std::string payload;
    Writer w(&payload);
    bool ok = true;
    switch (m.type) {
        case SESSION_START:
            ok = w.str(m.username, kMaxUsername, "user name") && w.str(m.subject, kMaxSubject, "subject") &&
                 w.str(m.host_id, kMaxContact, "host id");
            if (ok) {
                w.u8(m.map_user);
                ok = w.str(m.credential, kMaxCredential, "credential");
            }
            break;
        case COMMAND:
            w.u32(m.command);
            ok = w.str(m.pathname, kMaxRestrict, "path") && (!v2 || encode_validator(w, m.precondition, why));
            break;
        case STAT:
            w.u8(m.file_only);
            ok = w.str(m.pathname, kMaxPath, "path");
            break;
        case ACTIVE_DATA:
            w.u8(m.ipv6);
            w.u32(m.nstreams);
            w.u8(m.mode);
            w.u8(m.dtype);
            w.u8(m.prot);
            w.u8(m.dcau);
            w.u64(m.tcp_bufsize);
            w.u64(m.blocksize);
            ok = w.str(m.pathname, kMaxPath, "path");
            if (ok && (m.contacts.empty() || m.contacts.size() > kMaxContacts)) {
                ok = false;
                *why = "contact count out of bounds";
                return false;
            }
            w.u32(static_cast<uint32_t>(m.contacts.size()));
            for (const auto &c : m.contacts) ok = ok && w.str(c, kMaxContact, "contact");
            break;
        case SEND:
        case RECV:
            ok = w.str(m.pathname, kMaxPath, "path");
            w.i64(m.partial_offset);
            w.i64(m.partial_length);
            w.u8(m.truncate);
            w.u32(m.data_id);
            w.u32(m.eof_count);
            w.i64(m.alloc_size);
            if (m.ranges.size() > kMaxRanges) {
                *why = "too many ranges";
                return false;
            }
            w.u32(static_cast<uint32_t>(m.ranges.size()));
            for (const auto &rg : m.ranges) {
                w.i64(rg.offset);
                w.i64(rg.length);
            }
            ok = ok && (!v2 || encode_transfer_v2(w, m, why));
            break;
        case EVENT:
        case EVENT_NOTIFY:
            w.u32(m.event_type);
            w.u32(m.event_arg);
            break;
        case SESSION_END:
        case END_ACK:
            break;
        case REPLY:
            w.u32(m.op);
            w.u32(m.code);
            ok = w.str(m.error, kMaxText, "error text") && w.str(m.msg, kMaxText, "message");
            if (ok && (m.code == 0) != m.error.empty()) {
                *why = "error text must be present exactly when the code is not 0";
                return false;
            }
            switch (m.op) {
                case OP_SESSION:
                    ok = ok && w.str(m.username, kMaxUsername, "user name") &&
                         w.str(m.home_dir, kMaxPath, "home directory");
                    break;
                case OP_COMMAND:
                    w.u32(m.command);
                    ok = ok && w.str(m.created_dir, kMaxPath, "created directory");
                    break;
                case OP_ACTIVE:
                    w.u32(m.data_id);
                    break;
                case OP_TRANSFER:
                    w.i64(m.bytes);
                    ok = ok && (m.version < 3 || encode_stored_file(w, m, why));
                    break;
                case OP_STAT:
                    ok = ok && encode_stat_list(w, m.version, m.stats, why);
                    break;
                case OP_DIGEST:
                    ok = ok && v2 && encode_digest_reply(w, m, why);
                    break;
                case OP_LIST:
                    ok = ok && v2 && encode_list_reply(w, m, why);
                    break;
                default:
                    *why = "unknown reply operation type";
                    return false;
            }
            break;
        case DIGEST:
            ok = v2 && encode_digest_request(w, m);
            break;
        case LIST:
            ok = v2 && encode_list_request(w, m);
            break;
        default:
            *why = "unknown frame type";
            return false;
    }
    if (!ok) {
        if (why->empty())
            *why = w.why().empty() ? "the frame type or operation does not exist in this version" : w.why();
        return false;
    }
    if (payload.size() > kMaxPayload) {
        *why = "payload exceeds the bound";
        return false;
    }
    frame->clear();
    frame->reserve(kHeaderSize + payload.size());
    Writer h(frame);
    h.u8(kMagic0);
    h.u8(kMagic1);
    h.u8(m.version);
    h.u8(m.type);
    h.u32(m.id);
    h.u32(static_cast<uint32_t>(payload.size()));
    frame->append(payload);
    return true;
}

}  // namespace kalder_ipc

// --- socket helpers ----------------------------------------------------------

namespace kalder_ipc {
namespace {

long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// 1 ready, 0 timed out, -1 error, -3 wake fd readable.
int wait_readable(int fd, int wake_fd, long long deadline)
{
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        int timeout = -1;
        if (deadline >= 0) {
            long long left = deadline - now_ms();
            if (left <= 0)
                return 0;
            timeout = left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
        }
        int rc = poll(p, wake_fd >= 0 ? 2 : 1, timeout);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (rc == 0)
            continue;  // re-check the deadline
        if (wake_fd >= 0 && (p[1].revents & POLLIN))
            return -3;
        if (p[0].revents)
            return 1;
    }
}

// Read exactly n bytes by the deadline. 1 done, 0 EOF before any byte,
// -1 error/EOF inside, -2 timeout. The bytes are usually there already:
// the socket is only polled when a receive finds nothing.
int read_exact(int fd, uint8_t *buf, size_t n, long long deadline, std::string *why)
{
    size_t got = 0;
    while (got < n) {
        ssize_t rc = recv(fd, buf + got, n - got, MSG_DONTWAIT);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                *why = std::string("receive failed: ") + std::strerror(errno);
                return -1;
            }
            int w = wait_readable(fd, -1, deadline);
            if (w == 0) {
                *why = "timed out inside a frame";
                return -2;
            }
            if (w < 0) {
                *why = std::string("poll failed: ") + std::strerror(errno);
                return -1;
            }
            continue;
        }
        if (rc == 0) {
            if (got == 0)
                return 0;
            *why = "connection closed inside a frame";
            return -1;
        }
        got += static_cast<size_t>(rc);
    }
    return 1;
}

}  // namespace

ReadResult read_frame(int fd, int wake_fd, int idle_ms, int frame_ms, Message *m, std::string *why)
{
    int w = wait_readable(fd, wake_fd, idle_ms < 0 ? -1 : now_ms() + idle_ms);
    if (w == 0)
        return READ_IDLE;
    if (w == -3)
        return READ_WOKEN;
    if (w < 0) {
        *why = std::string("poll failed: ") + std::strerror(errno);
        return READ_ERROR;
    }
    long long deadline = now_ms() + frame_ms;
    uint8_t hdr[kHeaderSize];
    int rc = read_exact(fd, hdr, kHeaderSize, deadline, why);
    if (rc == 0)
        return READ_EOF;
    if (rc != 1) {
        if (why->empty() || *why == "connection closed inside a frame")
            *why = "connection closed inside a frame header";
        return READ_ERROR;
    }
    Header h;
    if (!parse_header(hdr, &h, why))
        return READ_ERROR;
    std::string payload(h.length, '\0');  // bounded by kMaxPayload
    if (h.length &&
        read_exact(fd, reinterpret_cast<uint8_t *>(payload.data()), h.length, deadline, why) != 1) {
        if (why->empty())
            *why = "connection closed inside a frame";
        return READ_ERROR;
    }
    if (!decode(h, reinterpret_cast<const uint8_t *>(payload.data()), payload.size(), m, why))
        return READ_ERROR;
    return READ_FRAME;
}

bool write_frame(int fd, const std::string &frame, int timeout_ms, std::string *why)
{
    long long deadline = now_ms() + timeout_ms;
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t rc = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (rc >= 0) {
            done += static_cast<size_t>(rc);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            *why = std::string("send failed: ") + std::strerror(errno);
            return false;
        }
        long long left = deadline - now_ms();
        if (left <= 0) {
            *why = "send timed out";
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            *why = std::string("poll failed: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace kalder_ipc
