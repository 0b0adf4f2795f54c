// Transfers of a back-end session: checking and opening the file, then
// moving the data on a thread of the session's own, in stream or extended
// block mode, while the session keeps reading (events, the session end).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>

#include "kalder_eblock.h"
#include "kalder_gridftp_server.h"
#include "session.h"

namespace backend::detail {

bool Session::aborted()
{
    kalder::MutexLock g(transfer_lock_);
    return abort_;
}

bool Session::transfer_running()
{
    kalder::MutexLock g(transfer_lock_);
    return transfer_active_;
}

void Session::handle_transfer(const Message &m)
{
    bool send = m.type == kalder_ipc::SEND;
    auto fail = [&](uint32_t code, const std::string &text) {
        reply_error(m.id, KALDER_GFS_OP_TRANSFER, code, text);
    };
    auto t = std::make_shared<Transfer>();
    t->send = send;
    t->request_id = m.id;
    auto ch = channels_.find(m.data_id);
    if (ch == channels_.end())
        return fail(E_INVALID, "Unknown data channel.");
    t->dc = ch->second;
    channels_.erase(ch);  // one transfer per data channel
    if (m.partial_offset != 0 || m.partial_length != -1)
        return fail(E_INVALID, "Partial transfers are not supported.");
    // Version 2: a send may name the file it must be; a receive may carry
    // the digest of its bytes and a condition on the target.
    t->precondition = m.precondition;
    if (send && m.precondition.kind == kalder_ipc::PRECONDITION_ABSENT)
        return fail(E_INVALID, "A send cannot require its file to be absent.");
    if (send && (!m.checksum_alg.empty() || !m.checksum.empty()))
        return fail(E_INVALID, "Checksums are verified on receives only.");
    if (!send && (!m.checksum_alg.empty() || !m.checksum.empty())) {
        const size_t len = digest_hex_length(m.checksum_alg);
        if (len == 0)
            return fail(E_INVALID,
                        "Unsupported checksum algorithm \"" + m.checksum_alg.substr(0, 32) + "\".");
        if (!lowercase_hex(m.checksum, len))
            return fail(E_INVALID, "The expected " + m.checksum_alg + " checksum is not " +
                                       std::to_string(len) + " lowercase hex digits.");
        if (!t->hasher.start(m.checksum_alg))
            return fail(E_FAILED, "Cannot start the " + m.checksum_alg + " digest.");
        t->checksum_alg = m.checksum_alg;
        t->checksum = m.checksum;
    }
    std::vector<std::string> parts;
    std::string why;
    if (!split_path(m.pathname, &parts, &why))
        return fail(E_INVALID, m.pathname.substr(0, 256) + ": " + why);
    t->path = join_path(parts);
    if (!permitted(m.pathname, parts, send ? 'r' : 'w', false, &why))
        return fail(E_DENIED, why);
    if (parts.empty())
        return fail(E_INVALID, "/: Is a directory");
    {
        kalder::MutexLock g(transfer_lock_);
        if (transfer_active_)
            return fail(E_INVALID, "Another transfer is in progress in this session.");
    }
    if (transfer_thread_.joinable())
        transfer_thread_.join();

    if (send) {
        for (const auto &r : m.ranges) {
            if (r.offset < 0 || r.length < -1 || r.length == 0 ||
                (r.length > 0 && r.length > INT64_MAX - r.offset))
                return fail(E_INVALID, "Invalid byte range.");
        }
        t->ranges = m.ranges;
        if (t->ranges.empty())
            t->ranges.push_back({0, -1});
        // Without blocking: opening a FIFO for reading would wait for a writer.
        t->file_fd.reset(open_beneath(root_, parts, O_RDONLY | O_NONBLOCK));
        struct stat st;
        if (!t->file_fd)
            return fail(errno == ENOENT ? E_NOT_FOUND : E_FAILED, t->path + ": " + std::strerror(errno));
        if (!permitted_at(t->file_fd.get(), "", m.pathname, parts, 'r', false, &why))
            return fail(E_DENIED, why);
        if (fstat(t->file_fd.get(), &st) == 0 && special_file(st.st_mode))
            return fail(E_NOT_FOUND, t->path + ": " + std::strerror(ENOENT));
        if (fstat(t->file_fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return fail(E_INVALID, t->path + ": Not a regular file");
        // The file opened must be the one that was looked up: a replacement
        // between the stat and the open is refused before any data moves.
        if (t->precondition.kind == kalder_ipc::PRECONDITION_SAME && !same_file(t->precondition, st))
            return fail(E_CHANGED, t->path + ": changed since it was looked up");
        t->opened = st;
    } else {
        if (t->dc.mode != 'S')
            return fail(E_INVALID, "Receiving is only supported in stream mode.");
        if (!m.ranges.empty())
            return fail(E_INVALID, "Receiving byte ranges is not supported.");
        if (!m.truncate)
            return fail(E_INVALID, "Receiving without truncation is not supported.");
        if (m.alloc_size < 0)
            return fail(E_INVALID, "The announced size is negative.");
        t->alloc_size = m.alloc_size;
        t->base = parts.back();
        parts.pop_back();
        t->dir_fd.reset(open_beneath(root_, parts, O_PATH | O_DIRECTORY));
        if (!t->dir_fd)
            return fail(errno == ENOENT ? E_NOT_FOUND : E_FAILED, t->path + ": " + std::strerror(errno));
        const int dir = t->dir_fd.get();
        {
            std::vector<std::string> whole = parts;
            whole.push_back(t->base);
            if (!permitted_at(dir, t->base, m.pathname, whole, 'w', false, &why))
                return fail(E_DENIED, why);
        }
        struct stat st;
        if (fstatat(dir, t->base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
            return fail(E_INVALID, t->path + ": Is a directory");
        const bool exists = fstatat(dir, t->base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (exists && special_file(st.st_mode))
            return fail(E_INVALID, t->path + ": Not a regular file");
        // A condition that already fails refuses the upload before any byte
        // moves; it is checked again when the upload is committed.
        if (t->precondition.kind == kalder_ipc::PRECONDITION_ABSENT && exists)
            return fail(E_PRECONDITION, t->path + ": exists");
        if (t->precondition.kind == kalder_ipc::PRECONDITION_SAME &&
            (!exists || !same_file(t->precondition, st)))
            return fail(E_PRECONDITION, t->path + ": changed since it was looked up");
        unsigned char rnd[8];
        RAND_bytes(rnd, sizeof rnd);
        char hex[17];
        for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", rnd[i]);
        std::string base = t->base.size() > 200 ? t->base.substr(0, 200) : t->base;
        t->temp = "." + base + ".kalder-" + hex + ".part";
        t->file_fd.reset(
            openat(dir, t->temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!t->file_fd)
            return fail(E_FAILED, t->path + ": " + std::strerror(errno));
    }
    t->transfer_id = next_transfer_++;
    {
        kalder::MutexLock g(transfer_lock_);
        transfer_active_ = true;
        current_transfer_ = t->transfer_id;
        abort_ = false;
    }
    try {
        transfer_thread_ = std::thread(&Session::run_transfer, this, t);
    } catch (const std::system_error &) {
        {
            kalder::MutexLock g(transfer_lock_);
            transfer_active_ = false;
        }
        t->file_fd.reset();
        if (!send) {
            unlinkat(t->dir_fd.get(), t->temp.c_str(), 0);
            t->dir_fd.reset();
        }
        fail(E_FAILED, "Cannot start the transfer.");
    }
}

// Moves the data; returns "" on success, else the failure text.
std::string Session::transfer_body(Transfer &t, kalder_xio_handle_t h, int64_t *bytes)
{
    // The buffer holds one chunk (and a block header), or the whole file
    // when it is smaller: left uninitialised, it costs nothing for small files.
    auto buffer_for = [](int64_t bytes) {
        const size_t want =
            static_cast<size_t>(std::clamp<int64_t>(bytes, 1, kIoChunk)) + KALDER_EBLOCK_HEADER_SIZE;
        return std::unique_ptr<char[]>(new char[want]);
    };
    std::unique_ptr<char[]> buf;
    size_t n = 0;
    if (t.send) {
        struct stat st;
        if (fstat(t.file_fd.get(), &st) != 0)
            return t.path + ": " + std::strerror(errno);
        const int64_t size = st.st_size;
        buf = buffer_for(size);
        const uint64_t block = std::min<uint64_t>(t.dc.blocksize, kMaxBlock);
        const bool mode_e = t.dc.mode == 'E';
        for (const auto &r : t.ranges) {
            int64_t start = r.offset;
            int64_t end = r.length == -1 ? size : std::min<int64_t>(size, r.offset + r.length);
            while (start < end) {
                if (aborted())
                    return "The transfer was aborted.";
                size_t want = static_cast<size_t>(std::min<int64_t>(end - start, mode_e ? block : kIoChunk));
                size_t hdr = mode_e ? KALDER_EBLOCK_HEADER_SIZE : 0;
                ssize_t got = pread(t.file_fd.get(), buf.get() + hdr, want, start);
                if (got < 0)
                    return t.path + ": " + std::strerror(errno);
                if (static_cast<size_t>(got) != want) {
                    if (t.precondition.kind == kalder_ipc::PRECONDITION_SAME)
                        t.failure_code = E_CHANGED;
                    return t.path + ": The file changed size during the transfer";
                }
                if (mode_e)
                    kalder_eblock_encode({0, want, static_cast<uint64_t>(start)},
                                         reinterpret_cast<unsigned char *>(buf.get()));
                kalder_result_t res = kalder_xio_write(h, buf.get(), hdr + want, hdr + want, &n, nullptr);
                if (res != KALDER_SUCCESS)
                    return kalder_error_describe("Data channel write failed: ", res);
                start += static_cast<int64_t>(want);
                *bytes += static_cast<int64_t>(want);
            }
        }
        // With a validator the bytes sent must all be of the file that was
        // looked up: a write into it meanwhile (its size or mtime moved)
        // fails the send, whose data connection is then cut, before the end
        // of file could make the data look complete.
        if (t.precondition.kind == kalder_ipc::PRECONDITION_SAME) {
            struct stat now;
            if (fstat(t.file_fd.get(), &now) != 0)
                return t.path + ": " + std::strerror(errno);
            if (changed_in_place(t.opened, now)) {
                t.failure_code = E_CHANGED;
                return t.path + ": changed while it was being sent";
            }
        }
        if (mode_e) {
            // End of file: descriptor EOF|EOD, no data, one end-of-data marker.
            unsigned char eof[KALDER_EBLOCK_HEADER_SIZE];
            kalder_eblock_encode({KALDER_EBLOCK_EOF | KALDER_EBLOCK_EOD, 0, 1}, eof);
            if (kalder_xio_write(h, eof, sizeof eof, sizeof eof, &n, nullptr) != KALDER_SUCCESS)
                return "Data channel write failed at the end of file.";
        }
        return "";
    }
    // Receive: exactly alloc_size bytes, then an orderly end. One byte
    // more than announced is enough to detect an oversized body.
    const int64_t expect = t.alloc_size < static_cast<int64_t>(kIoChunk) ? t.alloc_size + 1 : kIoChunk;
    buf = buffer_for(expect);
    const size_t room = static_cast<size_t>(std::clamp<int64_t>(expect, 1, kIoChunk));
    for (;;) {
        if (aborted())
            return "The transfer was aborted.";
        kalder_result_t res = kalder_xio_read_available(h, buf.get(), room, &n);
        if (res != KALDER_SUCCESS) {
            if (kalder_xio_error_is_eof(res))
                break;
            return kalder_error_describe("Data channel read failed: ", res);
        }
        if (static_cast<int64_t>(n) > t.alloc_size - *bytes)
            return "More data arrived than the announced " + std::to_string(t.alloc_size) + " bytes.";
        if (g_options.cut_receive_after >= 0 &&
            static_cast<int64_t>(n) > g_options.cut_receive_after - *bytes)
            return "The receive was cut after " + std::to_string(g_options.cut_receive_after) +
                   " bytes (--cut-receive-after).";
        t.hasher.update(buf.get(), n);
        size_t off = 0;
        while (off < n) {
            ssize_t w = pwrite(t.file_fd.get(), buf.get() + off, n - off, *bytes + static_cast<int64_t>(off));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return t.path + ": " + std::strerror(errno);
            }
            off += static_cast<size_t>(w);
        }
        // Start the write-back of each 8 MiB as it is complete, without
        // waiting for it: the fsync before the commit then has only the
        // tail left to wait for, instead of the whole file.
        const int64_t flushed = *bytes / kWritebackStep * kWritebackStep;
        *bytes += static_cast<int64_t>(n);
        if (*bytes / kWritebackStep * kWritebackStep > flushed)
            sync_file_range(t.file_fd.get(), flushed, *bytes / kWritebackStep * kWritebackStep - flushed,
                            SYNC_FILE_RANGE_WRITE);
    }
    if (*bytes != t.alloc_size)
        return "Received " + std::to_string(*bytes) + " of the announced " + std::to_string(t.alloc_size) +
               " bytes.";
    if (fsync(t.file_fd.get()) != 0)
        return t.path + ": " + std::strerror(errno);
    if (t.hasher.active() && t.hasher.finish() != t.checksum) {
        t.failure_code = E_DIGEST_MISMATCH;
        return t.path + ": the " + t.checksum_alg + " digest of the received bytes does not match";
    }
    return "";
}

// Renames the complete temporary file over the target, under the transfer's
// condition: SAME re-checks the target right before the rename, ABSENT
// renames only if no target appeared meanwhile. "" on success.
std::string Session::commit_receive(Transfer &t)
{
    const int dir = t.dir_fd.get();
    // The rename keeps the inode, size and mtime, so this is the stored
    // file's validator: the client can name it in its next precondition
    // without a stat that might see someone else's later upload.
    struct stat written;
    if (fstat(t.file_fd.get(), &written) == 0)
        t.stored = {stat_entry(written, t.base)};
    if (t.precondition.kind == kalder_ipc::PRECONDITION_SAME) {
        struct stat st;
        if (fstatat(dir, t.base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(t.precondition, st)) {
            t.failure_code = E_PRECONDITION;
            return t.path + ": changed since it was looked up";
        }
    }
    if (t.precondition.kind == kalder_ipc::PRECONDITION_ABSENT) {
        if (renameat2(dir, t.temp.c_str(), dir, t.base.c_str(), RENAME_NOREPLACE) == 0)
            return "";
        if (errno == EEXIST) {
            t.failure_code = E_PRECONDITION;
            return t.path + ": exists";
        }
        return t.path + ": " + std::strerror(errno);
    }
    if (renameat(dir, t.temp.c_str(), dir, t.base.c_str()) != 0)
        return t.path + ": " + std::strerror(errno);
    return "";
}

void Session::run_transfer(std::shared_ptr<Transfer> tp)
{
    Transfer &t = *tp;
    auto event = [&](uint32_t type) {
        Message e;
        e.type = kalder_ipc::EVENT_NOTIFY;
        e.id = t.request_id;
        e.event_type = type;
        e.event_arg = t.transfer_id;
        send_msg(e);
    };
    event(KALDER_GFS_EVENT_TRANSFER_BEGIN);

    std::string failure;
    int64_t bytes = 0;
    kalder_xio_handle_t created = nullptr;
    kalder_xio_attr_t made = nullptr;
    kalder_result_t res = kalder_xio_attr_init(&made);
    kalder::XioAttr attr(made);
    if (res == KALDER_SUCCESS)
        res = kalder_xio_attr_cntl(attr.get(), gsi_.get(), KALDER_XIO_GSI_SET_CREDENTIAL, cred_.get());
    if (res == KALDER_SUCCESS)
        res = kalder_xio_attr_cntl(attr.get(), nullptr, KALDER_XIO_ATTR_SET_TIMEOUT,
                                   g_options.io_timeout_s * 1000);
    if (res == KALDER_SUCCESS)
        res = kalder_xio_handle_create(&created, xio_stack_.get());
    kalder::XioHandle h(created);
    if (res == KALDER_SUCCESS) {
        kalder::MutexLock g(transfer_lock_);
        data_handle_ = h.get();
        if (abort_)
            kalder_xio_handle_cancel(h.get());
    }
    if (res == KALDER_SUCCESS)
        res = kalder_xio_open(h.get(), t.dc.contact.c_str(), attr.get());
    attr.reset();
    if (res != KALDER_SUCCESS) {
        failure = kalder_error_describe("Cannot open the data channel: ", res);
    } else {
        event(KALDER_GFS_EVENT_TRANSFER_CONNECTED);
        failure = transfer_body(t, h.get(), &bytes);
    }
    if (h) {
        // A failed transfer must not look like a complete one to the peer.
        if (!failure.empty())
            kalder_xio_handle_cancel(h.get());
        kalder::MutexLock g(transfer_lock_);
        data_handle_ = nullptr;
    }
    h.reset();

    if (!t.send) {
        const int dir = t.dir_fd.get();
        if (failure.empty())
            failure = commit_receive(t);
        if (!failure.empty())
            unlinkat(dir, t.temp.c_str(), 0);
        t.dir_fd.reset();
    }
    t.file_fd.reset();
    log("%s %s: %lld bytes%s%s", t.send ? "send" : "receive", t.path.c_str(), static_cast<long long>(bytes),
        failure.empty() ? "" : ", failed: ", failure.c_str());

    {
        kalder::MutexLock g(transfer_lock_);
        transfer_active_ = false;
    }
    if (failure.empty()) {
        Message r;
        r.type = kalder_ipc::REPLY;
        r.id = t.request_id;
        r.op = KALDER_GFS_OP_TRANSFER;
        r.bytes = bytes;
        r.stats = std::move(t.stored);  // version 3 sessions only; older ones leave it out
        send_msg(r);
    } else {
        reply_error(t.request_id, KALDER_GFS_OP_TRANSFER, t.failure_code, failure);
    }
}

void Session::stop_transfer()
{
    {
        kalder::MutexLock g(transfer_lock_);
        abort_ = true;
        if (data_handle_)
            kalder_xio_handle_cancel(data_handle_);
    }
    if (transfer_thread_.joinable())
        transfer_thread_.join();
}

}  // namespace backend::detail
