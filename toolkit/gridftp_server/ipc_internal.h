// The IPC client's session object, shared by the reader thread
// (ipc_session.cpp) and the request calls (ipc_requests.cpp).
#ifndef KALDER_IPC_INTERNAL_H
#define KALDER_IPC_INTERNAL_H

#include <condition_variable>
#include <cstdint>
#include <map>
#include <string>
#include <thread>

#include "kalder_gridftp_server.h"
#include "kalder_ipc_wire.h"
#include "kalder_net.h"
#include "kalder_thread_safety.h"

namespace ipc_detail {

inline constexpr const char *kModule = "kalder_gridftp_server";
inline constexpr int kFrameTimeoutMs = 30000;  // the rest of a frame once its first byte is in
inline constexpr int kWriteTimeoutMs = 30000;
inline constexpr int kCloseWaitMs = 5000;   // how long a close waits for the back end's acknowledgement
inline constexpr int kOpenReplyMs = 60000;  // the session reply, when no connect timeout is set

// An error object of this library with a printf-style text.
kalder_result_t error(int type, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Reader threads that have not ended yet, for the module's deactivation
// to wait for: a closed session's thread still waits for the back end's
// acknowledgement after kalder_gfs_ipc_close returned.
void reader_started();
void reader_ended();
// Whether every reader thread ended within timeout_ms.
bool wait_for_readers(int timeout_ms);

struct Pending {
    uint32_t op;  // the reply type expected
    kalder_gfs_ipc_callback_t cb;
    kalder_gfs_ipc_event_callback_t event_cb;  // transfers only
    void *arg;
};

}  // namespace ipc_detail

struct kalder_gfs_ipc_handle_s {
    // Set before the reader starts; read-only afterwards.
    std::string host_id;
    std::string start_frame;
    kalder_gfs_ipc_open_callback_t open_cb = nullptr;
    void *open_arg = nullptr;
    kalder_gfs_ipc_error_callback_t error_cb = nullptr;
    void *error_arg = nullptr;
    int connect_timeout_s = 0;
    int idle_timeout_s = 0;
    kalder::UniqueFd wake_read;   // the reader polls it
    kalder::UniqueFd wake_write;  // a close writes to it

    kalder::Mutex lock;  // serialises writes to fd as well
    std::condition_variable_any cv;
    kalder::UniqueFd fd KALDER_GUARDED_BY(lock);
    bool opened KALDER_GUARDED_BY(lock) = false;   // the session start was answered with success
    bool refused KALDER_GUARDED_BY(lock) = false;  // the session start was answered with a refusal
    bool broken KALDER_GUARDED_BY(lock) = false;
    bool closing KALDER_GUARDED_BY(lock) = false;
    bool close_returned KALDER_GUARDED_BY(lock) = false;  // kalder_gfs_ipc_close is done with the handle
    bool in_callback KALDER_GUARDED_BY(lock) = false;     // the reader runs a caller's callback
    std::thread::id reader KALDER_GUARDED_BY(lock);
    kalder_gfs_ipc_close_callback_t close_cb KALDER_GUARDED_BY(lock) = nullptr;
    void *close_arg KALDER_GUARDED_BY(lock) = nullptr;
    uint32_t next_id KALDER_GUARDED_BY(lock) = 1;
    std::map<uint32_t, ipc_detail::Pending> pending KALDER_GUARDED_BY(lock);
};

namespace ipc_detail {

// The session's thread: connects, sends the session start, delivers every
// reply and event, and frees the handle at the end.
void reader_main(kalder_gfs_ipc_handle_s *h);

}  // namespace ipc_detail

#endif
