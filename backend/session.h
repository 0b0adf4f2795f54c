// One IPC session of the back end (session.cpp: the session start,
// commands, stats, data channels and events; transfer.cpp: transfers, on a
// thread of their own; session_access.cpp: what a guest may reach;
// session_list.cpp: digests and directory listings; digest.cpp: hashing).
#ifndef KALDER_BACKEND_SESSION_H
#define KALDER_BACKEND_SESSION_H

#include <sys/stat.h>
#include <sys/types.h>

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backend.h"
#include "kalder_gridftp_server.h"
#include "kalder_ipc_wire.h"
#include "kalder_net.h"
#include "kalder_owners.h"
#include "kalder_thread_safety.h"
#include "kalder_xio.h"

namespace backend::detail {

using kalder_ipc::Message;

inline constexpr int kFrameTimeoutMs = 30000;
inline constexpr int kWriteTimeoutMs = 30000;
inline constexpr size_t kMaxDataChannels = 16;
inline constexpr uint64_t kMaxBlock = 1 << 20;  // extended-block data per block
inline constexpr size_t kIoChunk = 1 << 20;
inline constexpr int64_t kWritebackStep = 8 << 20;  // uploads: write-back started per step

// Codes of replies (kalder_gfs_reply_code_t; the text is what people see).
enum Code : uint32_t {
    OK = KALDER_GFS_OK,
    E_REFUSED = KALDER_GFS_E_REFUSED,
    E_NOT_FOUND = KALDER_GFS_E_NOT_FOUND,
    E_DENIED = KALDER_GFS_E_DENIED,
    E_INVALID = KALDER_GFS_E_INVALID,
    E_FAILED = KALDER_GFS_E_FAILED,
    E_PRECONDITION = KALDER_GFS_E_PRECONDITION,
    E_DIGEST_MISMATCH = KALDER_GFS_E_DIGEST_MISMATCH,
    E_CHANGED = KALDER_GFS_E_CHANGED,
};

// An incremental "sha-256" or "sha-512" digest (digest.cpp).
class Hasher {
   public:
    // False for an algorithm this back end does not know (or no memory).
    bool start(const std::string &algorithm);
    bool active() const { return ctx_ != nullptr; }
    void update(const void *data, size_t len);
    // The digest in lowercase hex; the hasher is then inactive.
    std::string finish();

   private:
    struct Free {
        void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx_;
};
// The length of the hex digest of `algorithm` (0 when unknown).
size_t digest_hex_length(const std::string &algorithm);
// Whether `text` is `len` lowercase hex digits.
bool lowercase_hex(const std::string &text, size_t len);

// A stat entry of `st` named `name`, with the version 2 fields.
kalder_ipc::StatEntry stat_entry(const struct stat &st, const std::string &name);
// Whether `st` is exactly the file a SAME validator names.
bool same_file(const kalder_ipc::Validator &v, const struct stat &st);
// Whether the content may have changed between two stats of one descriptor.
bool changed_in_place(const struct stat &before, const struct stat &after);

struct DataChannel {
    std::string contact;
    char mode;
    uint64_t blocksize;
};

struct Transfer {
    bool send = true;
    uint32_t request_id = 0;
    uint32_t transfer_id = 0;
    DataChannel dc;
    std::string path;          // normalised, for messages
    kalder::UniqueFd file_fd;  // send: the file; receive: the temporary file
    kalder::UniqueFd dir_fd;   // receive: the parent directory
    std::string base, temp;    // receive: target and temporary names
    int64_t alloc_size = 0;
    std::vector<kalder_ipc::Range> ranges;
    kalder_ipc::Validator precondition;  // SAME (send, receive) or ABSENT (receive)
    struct stat opened {};               // send: the file as it was opened
    std::string checksum_alg, checksum;  // receive: the expected digest
    Hasher hasher;                       // receive: of the bytes as they arrive
    uint32_t failure_code = E_FAILED;    // of the final reply when the transfer fails
    // receive: the committed file (none if it could not be looked at)
    std::vector<kalder_ipc::StatEntry> stored;
};

class Session {
   public:
    explicit Session(int fd) : fd_(fd) {}
    ~Session() { stop_transfer(); }
    void run();

   private:
    bool send_msg(const Message &m);
    bool reply_error(uint32_t id, uint32_t op, uint32_t code, const std::string &text);
    bool start(const Message &m);
    bool refuse(const std::string &why);
    void handle_command(const Message &m);
    void handle_stat(const Message &m);
    void handle_active(const Message &m);
    void handle_transfer(const Message &m);
    void handle_event(const Message &m);
    void handle_digest(const Message &m);
    void handle_list(const Message &m);
    std::string commit_receive(Transfer &t);
    bool permitted_at(int fd, const std::string &leaf, const std::string &request_path,
                      const std::vector<std::string> &parts, char perm, bool names_directory,
                      std::string *why);
    bool permitted(const std::string &request_path, const std::vector<std::string> &parts, char perm,
                   bool names_directory, std::string *why);
    void run_transfer(std::shared_ptr<Transfer> t);
    std::string transfer_body(Transfer &t, kalder_xio_handle_t h, int64_t *bytes);
    void stop_transfer() KALDER_EXCLUDES(transfer_lock_);
    bool transfer_running() KALDER_EXCLUDES(transfer_lock_);
    bool aborted() KALDER_EXCLUDES(transfer_lock_);

    int fd_;
    uint8_t version_ = kalder_ipc::kVersion;  // of the session start; every frame of the session has it
    kalder::Mutex write_lock_;                // serialises frames written to fd_
    int root_ = -1;                           // borrowed from the options
    std::string root_path_;                   // the root's resolved path (guest sessions)
    bool guest_ = false;
    bool restricted_ = false;
    std::vector<Restriction> rules_;
    kalder::Cred cred_;
    std::map<uint32_t, DataChannel> channels_;
    uint32_t next_channel_ = 1;
    uint32_t next_transfer_ = 1;
    kalder::XioDriver tcp_, gsi_;
    kalder::XioStack xio_stack_;  // destroyed before the drivers on it

    std::thread transfer_thread_;  // started and joined by the session's thread
    kalder::Mutex transfer_lock_;
    bool transfer_active_ KALDER_GUARDED_BY(transfer_lock_) = false;
    uint32_t current_transfer_ KALDER_GUARDED_BY(transfer_lock_) = 0;
    kalder_xio_handle_t data_handle_ KALDER_GUARDED_BY(transfer_lock_) = nullptr;  // owned by the transfer
    bool abort_ KALDER_GUARDED_BY(transfer_lock_) = false;
};

// FIFOs, sockets and devices are not files of the collection: reading one
// could block a session forever, writing one would reach whatever is behind it.
bool special_file(mode_t mode);

}  // namespace backend::detail

#endif
