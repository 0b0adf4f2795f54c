// The wire format of the IPC protocol between the IPC client and the
// back-end server (docs/ipc-protocol.md). Internal to the toolkit and the
// back end; the module uses kalder_gridftp_server.h.
//
// Frame:
//   0      2    3      4            8              12
//   +------+----+------+------------+--------------+----------------+
//   | "KI" | ver| type | request id | payload len  | payload ...    |
//   +------+----+------+------------+--------------+----------------+
//   all integers big-endian; payload len <= kMaxPayload.
// Versions 1 to 3 share the frame; version 2 adds fields to some payloads
// and two requests (DIGEST, LIST), version 3 the stored file's stat to the
// transfer reply. A message is encoded and decoded in the
// version its frame header names (Message::version).
// Payload fields: u8, u32, u64/i64 (big-endian), str = u32 length + bytes
// (no NUL inside, each kind of string with its own bound). A payload must be
// consumed exactly.
#ifndef KALDER_IPC_WIRE_H
#define KALDER_IPC_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kalder_ipc {

inline constexpr uint8_t kMagic0 = 'K';
inline constexpr uint8_t kMagic1 = 'I';
inline constexpr uint8_t kVersion1 = 1;
inline constexpr uint8_t kVersion2 = 2;
inline constexpr uint8_t kVersion3 = 3;
inline constexpr uint8_t kVersion = kVersion3;  // what the client speaks; the back end serves 1 to kVersion
inline constexpr size_t kHeaderSize = 12;
inline constexpr uint32_t kMaxPayload = 1u << 20;

// Bounds of the variable fields.
inline constexpr uint32_t kMaxUsername = 16384;
inline constexpr uint32_t kMaxSubject = 1024;
inline constexpr uint32_t kMaxContact = 512;
inline constexpr uint32_t kMaxCredential = 65536;
inline constexpr uint32_t kMaxPath = 4096;
inline constexpr uint32_t kMaxRestrict = 262144;  // the site-restrict list travels as a path argument
inline constexpr uint32_t kMaxText = 4096;        // error and message texts
inline constexpr uint32_t kMaxContacts = 8;
inline constexpr uint32_t kMaxRanges = 65536;
inline constexpr uint32_t kMaxStats = 1024;
inline constexpr uint32_t kMaxAlgorithm = 32;  // checksum algorithm names ("sha-256")
inline constexpr uint32_t kMaxChecksum = 256;  // hex digests (sha-512: 128)

enum FrameType : uint8_t {
    // client -> back end
    SESSION_START = 1,
    COMMAND = 2,
    STAT = 3,
    ACTIVE_DATA = 4,
    SEND = 5,
    RECV = 6,
    EVENT = 7,
    SESSION_END = 8,
    DIGEST = 9,  // version 2
    LIST = 10,   // version 2
    // back end -> client
    REPLY = 32,
    EVENT_NOTIFY = 33,
    END_ACK = 34,
};

struct Range {
    int64_t offset;
    int64_t length;
};

struct StatEntry {
    uint32_t mode = 0, nlink = 0, uid = 0, gid = 0;
    int64_t size = 0, atime = 0, mtime = 0, ctime = 0;
    std::string name;
    // version 2 only
    uint64_t dev = 0, ino = 0;
    uint32_t mtime_nsec = 0;
};

// Validator record (version 2): a precondition on the file a request acts
// on. The kinds are the values of kalder_gfs_precondition_kind_t.
enum PreconditionKind : uint8_t { PRECONDITION_NONE = 0, PRECONDITION_SAME = 1, PRECONDITION_ABSENT = 2 };
struct Validator {
    uint8_t kind = PRECONDITION_NONE;
    uint64_t dev = 0, ino = 0;
    int64_t size = 0, mtime = 0;
    uint32_t mtime_nsec = 0;
};

// One decoded message; only the fields of its type are meaningful.
struct Message {
    uint8_t version = kVersion;
    uint8_t type = 0;
    uint32_t id = 0;
    // SESSION_START
    std::string username, subject, host_id, credential;
    uint8_t map_user = 0;
    // COMMAND, STAT, ACTIVE_DATA, SEND, RECV
    uint32_t command = 0;
    std::string pathname;
    uint8_t file_only = 0;
    // ACTIVE_DATA
    uint8_t ipv6 = 0, mode = 0, dtype = 0, prot = 0, dcau = 0;
    uint32_t nstreams = 0;
    uint64_t tcp_bufsize = 0, blocksize = 0;
    std::vector<std::string> contacts;
    // SEND, RECV
    int64_t partial_offset = 0, partial_length = -1, alloc_size = 0;
    uint8_t truncate = 0;
    uint32_t data_id = 0, eof_count = 0;  // data_id also in an ACTIVE reply
    std::vector<Range> ranges;
    // SEND, RECV (version 2): the expected checksum ("" none); DIGEST request:
    // the algorithm; DIGEST reply: the algorithm and the lowercase hex digest.
    std::string checksum_alg, checksum;
    // SEND, RECV, COMMAND (version 2)
    Validator precondition;
    // LIST request: start after this name ("" from the start), at most limit entries
    std::string after;
    uint32_t limit = 0;
    // EVENT, EVENT_NOTIFY
    uint32_t event_type = 0, event_arg = 0;
    // REPLY
    uint32_t op = 0, code = 0;
    std::string error, msg, home_dir, created_dir;
    std::vector<StatEntry> stats;  // STAT, LIST; DIGEST: the one hashed file; TRANSFER (v3): the stored file
    std::string next;              // LIST reply: the `after` of the next page; "" at the end
    int64_t bytes = 0;
};

struct Header {
    uint8_t version;
    uint8_t type;
    uint32_t id;
    uint32_t length;
};

// Parse the 12 header bytes. False (with a reason) for a wrong magic or
// version, an unknown type (of that version) or an oversized payload.
bool parse_header(const uint8_t *bytes, Header *out, std::string *why);

// Decode a payload of the header's type into *out. False (with a reason)
// for anything malformed; never reads beyond len.
bool decode(const Header &header, const uint8_t *payload, size_t len, Message *out, std::string *why);

// Encode a whole frame (header and payload) in m.version. False when a field
// exceeds its bound or the type does not exist in that version (the message
// is then not sendable).
bool encode(const Message &m, std::string *frame, std::string *why);

// Socket helpers shared by the client and the back end.
enum ReadResult { READ_FRAME = 1, READ_EOF = 0, READ_ERROR = -1, READ_IDLE = -2, READ_WOKEN = -3 };
// Read one frame from a blocking or non-blocking socket. Waits up to
// idle_ms (-1: forever) for its first byte -- READ_IDLE when none came --
// and then up to frame_ms for the rest of it. wake_fd (or -1) becoming
// readable before the first byte gives READ_WOKEN. READ_EOF is an orderly
// end before any byte of a frame; anything else that goes wrong, including
// a malformed frame, is READ_ERROR with a reason.
ReadResult read_frame(int fd, int wake_fd, int idle_ms, int frame_ms, Message *m, std::string *why);
// Write a whole encoded frame within timeout_ms; false (with a reason) on
// failure. Never raises SIGPIPE.
bool write_frame(int fd, const std::string &frame, int timeout_ms, std::string *why);

}  // namespace kalder_ipc

#endif
