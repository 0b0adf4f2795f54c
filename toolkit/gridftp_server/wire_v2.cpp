// The payload parts that IPC protocol versions 2 and 3 add
// (docs/ipc-protocol.md): stat entries with device, inode and mtime
// nanoseconds, validator records, the expected checksum of a transfer, the
// DIGEST and LIST requests and replies (2), and the stored file of a
// transfer reply (3). Like wire.cpp, the decoders treat their input as
// hostile.
#include "wire_codec.h"

namespace kalder_ipc::codec {

bool decode_stat_entry(Reader &r, uint8_t version, StatEntry *e)
{
    if (!r.u32(&e->mode) || !r.u32(&e->nlink) || !r.u32(&e->uid) || !r.u32(&e->gid) || !r.i64(&e->size) ||
        !r.i64(&e->atime) || !r.i64(&e->mtime) || !r.i64(&e->ctime) ||
        !r.str(&e->name, kMaxPath, "stat name"))
        return false;
    if (e->size < 0)
        return r.fail("negative file size");
    if (version < 2)
        return true;
    if (!r.u64(&e->dev) || !r.u64(&e->ino) || !r.u32(&e->mtime_nsec))
        return false;
    if (e->mtime_nsec > 999999999)
        return r.fail("mtime nanoseconds out of range");
    return true;
}

bool encode_stat_entry(Writer &w, uint8_t version, const StatEntry &e)
{
    w.u32(e.mode);
    w.u32(e.nlink);
    w.u32(e.uid);
    w.u32(e.gid);
    w.i64(e.size);
    w.i64(e.atime);
    w.i64(e.mtime);
    w.i64(e.ctime);
    if (!w.str(e.name, kMaxPath, "stat name"))
        return false;
    if (version >= 2) {
        w.u64(e.dev);
        w.u64(e.ino);
        w.u32(e.mtime_nsec);
    }
    return true;
}

bool decode_stat_list(Reader &r, uint8_t version, std::vector<StatEntry> *out)
{
    uint32_t count;
    if (!r.u32(&count))
        return false;
    if (count > kMaxStats)
        return r.fail("too many stat entries");
    out->clear();
    for (uint32_t i = 0; i < count; ++i) {
        StatEntry e;
        if (!decode_stat_entry(r, version, &e))
            return false;
        out->push_back(std::move(e));
    }
    return true;
}

bool encode_stat_list(Writer &w, uint8_t version, const std::vector<StatEntry> &in, std::string *why)
{
    if (in.size() > kMaxStats) {
        *why = "too many stat entries";
        return false;
    }
    w.u32(static_cast<uint32_t>(in.size()));
    for (const auto &e : in)
        if (!encode_stat_entry(w, version, e))
            return false;
    return true;
}

bool decode_validator(Reader &r, Validator *v)
{
    if (!r.u8(&v->kind) || !r.u64(&v->dev) || !r.u64(&v->ino) || !r.i64(&v->size) || !r.i64(&v->mtime) ||
        !r.u32(&v->mtime_nsec))
        return false;
    switch (v->kind) {
        case PRECONDITION_NONE:
            if (v->dev || v->ino || v->size || v->mtime || v->mtime_nsec)
                return r.fail("a validator of kind none has fields set");
            return true;
        case PRECONDITION_SAME:
            if (v->size < 0)
                return r.fail("negative validator size");
            if (v->mtime_nsec > 999999999)
                return r.fail("validator nanoseconds out of range");
            return true;
        case PRECONDITION_ABSENT:
            return true;
        default:
            return r.fail("unknown validator kind " + std::to_string(v->kind));
    }
}

bool encode_validator(Writer &w, const Validator &v, std::string *why)
{
    if (v.kind > PRECONDITION_ABSENT) {
        *why = "unknown validator kind";
        return false;
    }
    // A validator of kind none carries nothing, whatever the caller left in it.
    const bool none = v.kind == PRECONDITION_NONE;
    w.u8(v.kind);
    w.u64(none ? 0 : v.dev);
    w.u64(none ? 0 : v.ino);
    w.i64(none ? 0 : v.size);
    w.i64(none ? 0 : v.mtime);
    w.u32(none ? 0 : v.mtime_nsec);
    return true;
}

bool decode_transfer_v2(Reader &r, Message *m)
{
    return r.str(&m->checksum_alg, kMaxAlgorithm, "checksum algorithm") &&
           r.str(&m->checksum, kMaxChecksum, "checksum") && decode_validator(r, &m->precondition);
}

bool encode_transfer_v2(Writer &w, const Message &m, std::string *why)
{
    return w.str(m.checksum_alg, kMaxAlgorithm, "checksum algorithm") &&
           w.str(m.checksum, kMaxChecksum, "checksum") && encode_validator(w, m.precondition, why);
}

bool decode_digest_request(Reader &r, Message *m)
{
    return r.str(&m->checksum_alg, kMaxAlgorithm, "digest algorithm") &&
           r.str(&m->pathname, kMaxPath, "path");
}

bool encode_digest_request(Writer &w, const Message &m)
{
    return w.str(m.checksum_alg, kMaxAlgorithm, "digest algorithm") && w.str(m.pathname, kMaxPath, "path");
}

bool decode_list_request(Reader &r, Message *m)
{
    return r.str(&m->pathname, kMaxPath, "path") && r.str(&m->after, kMaxPath, "list continuation") &&
           r.u32(&m->limit);
}

bool encode_list_request(Writer &w, const Message &m)
{
    if (!w.str(m.pathname, kMaxPath, "path") || !w.str(m.after, kMaxPath, "list continuation"))
        return false;
    w.u32(m.limit);
    return true;
}

// A failed DIGEST reply still carries its part; the stat entry is then a
// zero one (the decoder does not need to know the reply failed).
bool decode_digest_reply(Reader &r, Message *m)
{
    m->stats.resize(1);
    return r.str(&m->checksum_alg, kMaxAlgorithm, "digest algorithm") &&
           r.str(&m->checksum, kMaxChecksum, "digest") && decode_stat_entry(r, 2, &m->stats[0]);
}

bool encode_digest_reply(Writer &w, const Message &m, std::string *why)
{
    if (m.stats.size() > 1) {
        *why = "a digest reply carries one stat entry";
        return false;
    }
    return w.str(m.checksum_alg, kMaxAlgorithm, "digest algorithm") &&
           w.str(m.checksum, kMaxChecksum, "digest") &&
           encode_stat_entry(w, 2, m.stats.empty() ? StatEntry() : m.stats[0]);
}

bool decode_list_reply(Reader &r, Message *m)
{
    return decode_stat_list(r, 2, &m->stats) && r.str(&m->next, kMaxPath, "list continuation");
}

bool encode_list_reply(Writer &w, const Message &m, std::string *why)
{
    return encode_stat_list(w, 2, m.stats, why) && w.str(m.next, kMaxPath, "list continuation");
}

// A send, a failed receive and a receive whose file could not be looked at
// carry no entry.
bool decode_stored_file(Reader &r, Message *m)
{
    uint32_t count;
    if (!r.u32(&count))
        return false;
    if (count > 1)
        return r.fail("a transfer reply carries at most one stat entry");
    m->stats.clear();
    if (count == 0)
        return true;
    m->stats.resize(1);
    return decode_stat_entry(r, m->version, &m->stats[0]);
}

bool encode_stored_file(Writer &w, const Message &m, std::string *why)
{
    if (m.stats.size() > 1) {
        *why = "a transfer reply carries at most one stat entry";
        return false;
    }
    return encode_stat_list(w, m.version, m.stats, why);
}

}  // namespace kalder_ipc::codec
