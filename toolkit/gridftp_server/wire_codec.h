// The field codec shared by the frame encoder and decoder (wire.cpp) and
// the parts that version 2 adds (wire_v2.cpp). Internal to the toolkit.
#ifndef KALDER_WIRE_CODEC_H
#define KALDER_WIRE_CODEC_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kalder_ipc_wire.h"

namespace kalder_ipc::codec {

// Reply operation types (the values of kalder_gfs_operation_type_t).
inline constexpr uint32_t OP_SESSION = 4, OP_COMMAND = 9, OP_ACTIVE = 11, OP_TRANSFER = 13, OP_STAT = 14,
                          OP_DIGEST = 15, OP_LIST = 16;

// Reads fields from a payload; every length is checked against what is
// left. The first failure's reason is kept.
class Reader {
   public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    bool u8(uint8_t *v)
    {
        if (n_ - pos_ < 1)
            return fail("truncated u8");
        *v = p_[pos_++];
        return true;
    }
    bool u32(uint32_t *v)
    {
        if (n_ - pos_ < 4)
            return fail("truncated u32");
        *v = static_cast<uint32_t>(p_[pos_]) << 24 | static_cast<uint32_t>(p_[pos_ + 1]) << 16 |
             static_cast<uint32_t>(p_[pos_ + 2]) << 8 | p_[pos_ + 3];
        pos_ += 4;
        return true;
    }
    bool u64(uint64_t *v)
    {
        uint32_t hi, lo;
        if (!u32(&hi) || !u32(&lo))
            return false;
        *v = static_cast<uint64_t>(hi) << 32 | lo;
        return true;
    }
    bool i64(int64_t *v)
    {
        uint64_t u;
        if (!u64(&u))
            return false;
        *v = static_cast<int64_t>(u);
        return true;
    }
    bool str(std::string *s, uint32_t max, const char *what)
    {
        uint32_t len;
        if (!u32(&len))
            return false;
        if (len > max)
            return fail(std::string(what) + " longer than its bound");
        if (n_ - pos_ < len)
            return fail(std::string("truncated ") + what);
        if (std::memchr(p_ + pos_, '\0', len))
            return fail(std::string(what) + " contains a NUL byte");
        s->assign(reinterpret_cast<const char *>(p_ + pos_), len);
        pos_ += len;
        return true;
    }
    bool done()
    {
        if (pos_ != n_)
            return fail("trailing bytes after the payload");
        return true;
    }
    bool fail(const std::string &why)
    {
        if (why_.empty())
            why_ = why;
        return false;
    }
    const std::string &why() const { return why_; }

   private:
    const uint8_t *p_;
    size_t n_;
    size_t pos_ = 0;
    std::string why_;
};

class Writer {
   public:
    explicit Writer(std::string *out) : out_(out) {}
    void u8(uint8_t v) { out_->push_back(static_cast<char>(v)); }
    void u32(uint32_t v)
    {
        for (int s = 24; s >= 0; s -= 8) out_->push_back(static_cast<char>((v >> s) & 0xff));
    }
    void u64(uint64_t v)
    {
        u32(static_cast<uint32_t>(v >> 32));
        u32(static_cast<uint32_t>(v));
    }
    void i64(int64_t v) { u64(static_cast<uint64_t>(v)); }
    bool str(const std::string &s, uint32_t max, const char *what)
    {
        if (s.size() > max || s.find('\0') != std::string::npos) {
            if (why_.empty())
                why_ = std::string(what) + " too long or contains a NUL byte";
            return false;
        }
        u32(static_cast<uint32_t>(s.size()));
        out_->append(s);
        return true;
    }
    const std::string &why() const { return why_; }

   private:
    std::string *out_;
    std::string why_;
};

// --- version 2 parts (wire_v2.cpp) -----------------------------------------

// A stat entry: the version 1 fields, and in version 2 device, inode and
// mtime nanoseconds after them.
bool decode_stat_entry(Reader &r, uint8_t version, StatEntry *e);
bool encode_stat_entry(Writer &w, uint8_t version, const StatEntry &e);
// u32 count, then the entries (STAT and LIST replies).
bool decode_stat_list(Reader &r, uint8_t version, std::vector<StatEntry> *out);
bool encode_stat_list(Writer &w, uint8_t version, const std::vector<StatEntry> &in, std::string *why);
// A validator record; the kind must be known, and a NONE record all zero.
bool decode_validator(Reader &r, Validator *v);
bool encode_validator(Writer &w, const Validator &v, std::string *why);
// What version 2 appends to a SEND or RECV transfer record.
bool decode_transfer_v2(Reader &r, Message *m);
bool encode_transfer_v2(Writer &w, const Message &m, std::string *why);
// The DIGEST and LIST request payloads.
bool decode_digest_request(Reader &r, Message *m);
bool encode_digest_request(Writer &w, const Message &m);
bool decode_list_request(Reader &r, Message *m);
bool encode_list_request(Writer &w, const Message &m);
// The reply parts of operations DIGEST and LIST.
bool decode_digest_reply(Reader &r, Message *m);
bool encode_digest_reply(Writer &w, const Message &m, std::string *why);
bool decode_list_reply(Reader &r, Message *m);
bool encode_list_reply(Writer &w, const Message &m, std::string *why);
// What version 3 appends to the transfer reply: u32 count (0 or 1), then
// the stat entry of the file a receive stored.
bool decode_stored_file(Reader &r, Message *m);
bool encode_stored_file(Writer &w, const Message &m, std::string *why);

}  // namespace kalder_ipc::codec

#endif
