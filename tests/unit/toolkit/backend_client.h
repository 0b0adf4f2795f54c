// A running kalder-backend on a temporary directory, and a synchronous test
// client that uses only the toolkit's calls.
#ifndef KALDER_BACKEND_CLIENT_H
#define KALDER_BACKEND_CLIENT_H

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kalder_gridftp_server.h"
#include "kalder_xio.h"

namespace kt {

// A mapped-collection session user with two identities.
extern const std::string kMapped;
// A guest session user for sharing id `id`.
std::string guest_user(const std::string &id);
// Numbered lines, so a wrong offset shows which line moved.
std::string numbered(size_t bytes);
void write_file(const std::string &path, const std::string &data);
std::string read_file(const std::string &path);
// Names in a directory, sorted, to catch left-over temporary files.
std::vector<std::string> listing(const std::string &dir);

enum class Transport { TCP, UNIX };

// The kalder-backend binary of the build under test ($KALDER_BUILD_DIR).
std::string backend_binary();
// Starts kalder-backend with `args` (after the program name), its standard
// error going to `log_fd`; the child's pid, or -1 (with a test failure).
pid_t spawn_backend(const std::vector<std::string> &args, int log_fd);
// The line kalder-backend logs once it accepts connections; the Python
// fixtures wait for the same line (a probe connection would show in the log
// as a session that never started).
inline constexpr const char *kBackendListening = "kalder-backend: listening on ";

class Backend {
   public:
    // Starts kalder-backend with --root <tmp>/root plus `extra` arguments
    // (use "{share}" for <tmp>/share); waits until it accepts connections.
    // Over UNIX it listens on <tmp>/backend.sock (<tmp> is searchable by
    // every user, so that tests can connect as another uid).
    explicit Backend(std::vector<std::string> extra = {}, Transport transport = Transport::TCP);
    ~Backend();
    // SIGTERM, wait; the exit status (-1 if it did not end in 10 seconds).
    int stop();
    std::string contact() const { return contact_; }
    std::string root() const { return dir_ + "/root"; }
    std::string share() const { return dir_ + "/share"; }
    std::string dir() const { return dir_; }
    std::string socket_path() const { return dir_ + "/backend.sock"; }
    std::string log() const;

   private:
    std::string dir_;
    std::string contact_;
    pid_t pid_ = -1;
};

// What a callback reported.
struct Record {
    enum Kind { OPEN, REPLY, EVENT, ERROR, CLOSE } kind;
    kalder_result_t result = KALDER_SUCCESS;
    kalder_gfs_ipc_handle_t handle = nullptr;
    int type = 0;             // reply type or event type
    std::string reply_error;  // friendly text of the reply's own result
    std::string msg;
    int stat_count = 0;
    int stat_mode = 0;
    int64_t stat_size = -1;
    std::string stat_name;
    void *data_arg = nullptr;
    void *event_arg = nullptr;
    int code = 0;                    // the reply's code (kalder_gfs_reply_code_t)
    kalder_gfs_stat_t stat{};        // STAT, DIGEST, TRANSFER (stored file): the entry (name null)
    std::vector<std::string> names;  // STAT, LIST: every entry's name
    std::string next;                // LIST
    std::string digest_alg, digest_hex;
    // The validator (SAME) of the stat'ed file.
    kalder_gfs_validator_t validator() const;
    bool ok() const { return result == KALDER_SUCCESS && reply_error.empty(); }
};

// What a version 2 transfer carries besides the v1 record.
struct TransferExtras {
    kalder_gfs_validator_t precondition{};
    std::string checksum_alg, checksum;
    // Download: runs once after the first bytes arrived, the rest not yet read.
    std::function<void()> after_first_read;
};

struct TransferResult {
    Record reply;                                // the final transfer reply (or a failed request)
    std::string data;                            // what arrived on the data channel (downloads)
    kalder_result_t last_read = KALDER_SUCCESS;  // the read that ended the stream
    std::vector<int> events;                     // event types in order
};

class Client {
   public:
    Client();
    ~Client();
    // Open a session; returns the open record (handle null on failure).
    Record open(const std::string &contact, const std::string &user);
    Record command(int code, const std::string &path);
    Record command(int code, const std::string &path, const kalder_gfs_validator_t &precondition);
    Record stat(const std::string &path);
    Record digest(const std::string &path, const std::string &algorithm);
    Record list(const std::string &path, const std::string &after, int limit);
    TransferResult download(const std::string &path, char mode,
                            const std::vector<std::pair<int64_t, int64_t>> &ranges,
                            const TransferExtras &extras = {});
    // Upload `data` announcing `alloc_size`; `cut` ends the data connection
    // without an orderly close.
    // `midway`, when given, runs after the data was written and before the
    // data connection is closed.
    TransferResult upload(const std::string &path, const std::string &data, int64_t alloc_size,
                          bool cut = false, const std::function<void()> &midway = nullptr,
                          const TransferExtras &extras = {});
    // Close; true when the close callback came.
    bool close();
    // Wait for a record of `kind` (others before it are kept); false on time-out.
    bool wait_for(Record::Kind kind, Record *out, int timeout_ms = 20000);
    // Wait until a record of either kind is queued (without taking it).
    bool wait_any(Record::Kind a, Record::Kind b, Record::Kind *which, int timeout_ms = 20000);

    kalder_gfs_ipc_handle_t handle = nullptr;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;

    // Callback plumbing (public for the C callbacks).
    void push(Record r);
    std::vector<std::pair<int, void *>> events_seen;

   private:
    Record wait_reply();
    std::mutex lock_;
    std::condition_variable cv_;
    std::deque<Record> records_;
    kalder_xio_driver_t tcp_ = nullptr, gsi_ = nullptr;
    kalder_xio_stack_t stack_ = nullptr;
};

}  // namespace kt

#endif
