// IPC frames: round trips, and malformed or hostile frames on both sides.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "backend_client.h"
#include "kalder_gridftp_server.h"
#include "kalder_ipc_wire.h"
#include "toolkit_testing.h"

namespace {

using kalder_ipc::Message;

bool decode_frame(const std::string &frame, Message *m, std::string *why)
{
    if (frame.size() < kalder_ipc::kHeaderSize) {
        *why = "short";
        return false;
    }
    kalder_ipc::Header h;
    if (!kalder_ipc::parse_header(reinterpret_cast<const uint8_t *>(frame.data()), &h, why))
        return false;
    return kalder_ipc::decode(h, reinterpret_cast<const uint8_t *>(frame.data()) + kalder_ipc::kHeaderSize,
                              frame.size() - kalder_ipc::kHeaderSize, m, why);
}

std::vector<Message> samples()
{
    std::vector<Message> out;
    Message m;
    m.type = kalder_ipc::SESSION_START;
    m.username = ":kalder-sharing:ID=x;";
    m.subject = "/CN=__transfer__";
    m.host_id = "127.0.0.1:7000";
    m.map_user = 1;
    m.credential = "-----BEGIN CERTIFICATE-----\n...";
    out.push_back(m);
    m = Message();
    m.type = kalder_ipc::SEND;
    m.id = 7;
    m.pathname = "/a/b";
    m.data_id = 3;
    m.eof_count = 1;
    m.ranges = {{0, 100}, {200, -1}};
    out.push_back(m);
    m = Message();
    m.type = kalder_ipc::ACTIVE_DATA;
    m.id = 8;
    m.nstreams = 1;
    m.mode = 'E';
    m.dtype = 'I';
    m.prot = 'P';
    m.dcau = 'A';
    m.blocksize = 1048576;
    m.contacts = {"127.0.0.1:1234"};
    out.push_back(m);
    m = Message();
    m.type = kalder_ipc::REPLY;
    m.id = 9;
    m.op = KALDER_GFS_OP_STAT;
    kalder_ipc::StatEntry e;
    e.mode = 0100644;
    e.size = 1LL << 40;
    e.name = "f";
    m.stats = {e};
    out.push_back(m);
    m = Message();
    m.type = kalder_ipc::REPLY;
    m.id = 10;
    m.op = KALDER_GFS_OP_TRANSFER;
    m.code = 5;
    m.error = "/f: Permission denied";
    out.push_back(m);
    return out;
}

TEST(IpcWire, RoundTripsAndRejectsEveryTruncation)
{
    for (const Message &m : samples()) {
        std::string frame, why;
        ASSERT_TRUE(kalder_ipc::encode(m, &frame, &why)) << why;
        Message back;
        ASSERT_TRUE(decode_frame(frame, &back, &why)) << why;
        EXPECT_EQ(back.type, m.type);
        EXPECT_EQ(back.id, m.id);
        EXPECT_EQ(back.username, m.username);
        EXPECT_EQ(back.pathname, m.pathname);
        EXPECT_EQ(back.ranges.size(), m.ranges.size());
        EXPECT_EQ(back.contacts, m.contacts);
        EXPECT_EQ(back.error, m.error);
        ASSERT_EQ(back.stats.size(), m.stats.size());
        if (!m.stats.empty()) {
            EXPECT_EQ(back.stats[0].size, m.stats[0].size);
        }
        // A frame cut anywhere (with its header telling the cut length) fails.
        for (size_t cut = kalder_ipc::kHeaderSize; cut < frame.size(); ++cut) {
            std::string t = frame.substr(0, cut);
            uint32_t len = static_cast<uint32_t>(cut - kalder_ipc::kHeaderSize);
            t[8] = static_cast<char>(len >> 24);
            t[9] = static_cast<char>(len >> 16);
            t[10] = static_cast<char>(len >> 8);
            t[11] = static_cast<char>(len);
            EXPECT_FALSE(decode_frame(t, &back, &why)) << "type " << int(m.type) << " cut at " << cut;
        }
    }
}

TEST(IpcWire, RejectsMalformedFramesWithAReason)
{
    std::string good, why;
    Message m;
    m.type = kalder_ipc::STAT;
    m.pathname = "/x";
    ASSERT_TRUE(kalder_ipc::encode(m, &good, &why));
    auto with = [&](size_t at, char c) {
        std::string f = good;
        f[at] = c;
        return f;
    };
    struct Case {
        const char *name;
        std::string frame;
        const char *expect;
    } cases[] = {
        {"magic", with(0, 'X'), "magic"},
        {"version", with(2, 4), "version"},
        {"type", with(3, 99), "unknown frame type"},
        {"oversized payload", with(8, 0x7f), "exceeds"},
        {"trailing bytes", good.substr(0, 11) + char(good[11] + 1) + good.substr(12) + "Z", "trailing"},
        {"NUL in path", good.substr(0, good.size() - 1) + '\0', "NUL"},
    };
    for (const auto &c : cases) {
        Message out;
        why.clear();
        EXPECT_FALSE(decode_frame(c.frame, &out, &why)) << c.name;
        EXPECT_NE(why.find(c.expect), std::string::npos) << c.name << ": " << why;
    }
    // Strings above their bound can neither be sent nor received.
    m.pathname = "/" + std::string(kalder_ipc::kMaxPath, 'a');
    EXPECT_FALSE(kalder_ipc::encode(m, &good, &why));
    // A reply whose code and error text disagree.
    Message r;
    r.type = kalder_ipc::REPLY;
    r.op = KALDER_GFS_OP_COMMAND;
    r.code = 3;
    EXPECT_FALSE(kalder_ipc::encode(r, &good, &why));
}

// The fields a message of version 2 may carry, as one comparable text.
std::string describe(const Message &m)
{
    std::ostringstream o;
    const kalder_ipc::Validator &v = m.precondition;
    o << "v" << int(m.version) << " type " << int(m.type) << " id " << m.id << " op " << m.op << " cmd "
      << m.command << " path " << m.pathname << " alg " << m.checksum_alg << " sum " << m.checksum << " pre "
      << int(v.kind) << "," << v.dev << "," << v.ino << "," << v.size << "," << v.mtime << "," << v.mtime_nsec
      << " after " << m.after << " limit " << m.limit << " next " << m.next << " stats";
    for (const auto &e : m.stats)
        o << " [" << e.mode << "," << e.size << "," << e.mtime << "," << e.name << "," << e.dev << ","
          << e.ino << "," << e.mtime_nsec << "]";
    return o.str();
}

std::vector<Message> version2_samples()
{
    kalder_ipc::StatEntry e;
    e.mode = 0100644;
    e.size = 5;
    e.mtime = 1700000000;
    e.name = "f";
    e.dev = 0xfd00000000000001ULL;  // all 64 bits travel
    e.ino = 1ULL << 40;
    e.mtime_nsec = 999999999;
    const kalder_ipc::Validator same{kalder_ipc::PRECONDITION_SAME, e.dev, e.ino, 5, 1700000000, 123456789};
    std::vector<Message> out(7);
    out[0].type = kalder_ipc::SEND;
    out[0].pathname = "/f";
    out[0].data_id = 1;
    out[0].checksum_alg = "sha-256";
    out[0].checksum = std::string(64, 'a');
    out[0].precondition = same;
    out[1].type = kalder_ipc::COMMAND;
    out[1].command = KALDER_GFS_CMD_DELE;
    out[1].pathname = "/f";
    out[1].precondition = same;
    out[2].type = kalder_ipc::DIGEST;
    out[2].checksum_alg = "sha-512";
    out[2].pathname = "/f";
    out[3].type = kalder_ipc::LIST;
    out[3].pathname = "/d";
    out[3].after = "b";
    out[3].limit = 1000;
    for (int i = 4; i < 7; ++i) out[i].type = kalder_ipc::REPLY;
    out[4].op = KALDER_GFS_OP_STAT;
    out[4].stats = {e};
    out[5].op = KALDER_GFS_OP_DIGEST;
    out[5].checksum_alg = "sha-256";
    out[5].checksum = std::string(64, 'b');
    out[5].stats = {e};
    out[6].op = KALDER_GFS_OP_LIST;
    out[6].stats = {e, e};
    out[6].next = "f";
    for (size_t i = 0; i < out.size(); ++i) {
        out[i].id = static_cast<uint32_t>(i + 1);
        out[i].version = kalder_ipc::kVersion2;
    }
    return out;
}

TEST(IpcWire, Version2FieldsRoundTripAndVersion1KeepsItsLayout)
{
    for (const Message &m : version2_samples()) {
        std::string frame, why;
        ASSERT_TRUE(kalder_ipc::encode(m, &frame, &why)) << why;
        EXPECT_EQ(frame[2], 2);
        Message back;
        ASSERT_TRUE(decode_frame(frame, &back, &why)) << describe(m) << ": " << why;
        EXPECT_EQ(describe(back), describe(m));
        for (size_t cut = kalder_ipc::kHeaderSize; cut < frame.size(); ++cut) {
            std::string t = frame.substr(0, cut);
            t[11] = static_cast<char>(cut - kalder_ipc::kHeaderSize);  // the samples are < 256 bytes
            t[10] = static_cast<char>((cut - kalder_ipc::kHeaderSize) >> 8);
            EXPECT_FALSE(decode_frame(t, &back, &why)) << describe(m) << " cut at " << cut;
        }
    }
    // Version 1 frames are what they were: a stat reply byte for byte, and a
    // send without the checksum and validator that version 2 appends.
    Message stat_reply = version2_samples()[4];
    stat_reply.version = kalder_ipc::kVersion1;
    std::string frame, why;
    ASSERT_TRUE(kalder_ipc::encode(stat_reply, &frame, &why)) << why;
    const std::string v1_stat(
        "KI\x01\x20\x00\x00\x00\x05\x00\x00\x00\x49"
        "\x00\x00\x00\x0e\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01"
        "\x00\x00\x81\xa4\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x65\x53\xf1\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x01"
        "f",
        85);
    EXPECT_EQ(frame, v1_stat);
    Message send = version2_samples()[0];
    std::string v2_send;
    ASSERT_TRUE(kalder_ipc::encode(send, &v2_send, &why));
    send.version = kalder_ipc::kVersion1;
    ASSERT_TRUE(kalder_ipc::encode(send, &frame, &why));
    EXPECT_EQ(v2_send.size() - frame.size(), (4 + 7) + (4 + 64) + 37u);
    Message back;
    ASSERT_TRUE(decode_frame(frame, &back, &why)) << why;
    EXPECT_EQ(back.precondition.kind, kalder_ipc::PRECONDITION_NONE);
    EXPECT_EQ(back.checksum_alg, "");
    // The new requests do not exist in version 1.
    Message digest = version2_samples()[2];
    digest.version = kalder_ipc::kVersion1;
    EXPECT_FALSE(kalder_ipc::encode(digest, &frame, &why));
}

// Version 3 adds the stored file to the transfer reply; version 2 sessions
// get the reply as it was.
TEST(IpcWire, Version3TransferReplyNamesTheStoredFile)
{
    Message reply = version2_samples()[4];
    reply.op = KALDER_GFS_OP_TRANSFER;
    reply.bytes = 5;
    reply.version = kalder_ipc::kVersion3;
    std::string frame, why;
    Message back;
    for (size_t entries : {1u, 0u}) {
        reply.stats.resize(entries);
        ASSERT_TRUE(kalder_ipc::encode(reply, &frame, &why)) << why;
        ASSERT_TRUE(decode_frame(frame, &back, &why)) << why;
        EXPECT_EQ(describe(back), describe(reply));
        EXPECT_EQ(back.bytes, 5);
    }
    reply.stats.resize(1);
    ASSERT_TRUE(kalder_ipc::encode(reply, &frame, &why));
    std::string two = frame.substr(0, 12 + 24 + 3) + '\x02' + frame.substr(12 + 24 + 4);
    EXPECT_FALSE(decode_frame(two, &back, &why));
    EXPECT_NE(why.find("at most one"), std::string::npos) << why;
    reply.stats.resize(2);
    EXPECT_FALSE(kalder_ipc::encode(reply, &frame, &why));

    reply.stats.resize(1);
    reply.version = kalder_ipc::kVersion2;
    ASSERT_TRUE(kalder_ipc::encode(reply, &frame, &why)) << why;
    EXPECT_EQ(frame.size(), 12 + 4 + 4 + 4 + 4 + 8u) << "op, code, error, message, bytes";
    ASSERT_TRUE(decode_frame(frame, &back, &why)) << why;
    EXPECT_TRUE(back.stats.empty());
}

TEST(IpcWire, MalformedVersion2FieldsAreRejected)
{
    const std::vector<Message> v2 = version2_samples();
    std::string why;
    auto encoded = [&](Message m) {
        std::string f;
        EXPECT_TRUE(kalder_ipc::encode(m, &f, &why)) << why;
        return f;
    };
    auto patched = [](std::string f, size_t at, char c) {
        f[at] = c;
        return f;
    };
    // The DELE command: header 12, command 4, path 4 + 2, then the validator:
    // kind at 22, device 23-30, inode 31-38, size 39-46.
    const std::string dele = encoded(v2[1]);
    Message plain = v2[1];
    plain.precondition = {};
    const std::string stat_reply = encoded(v2[4]);
    struct Case {
        const char *name;
        std::string frame;
        const char *expect;
    } cases[] = {
        {"unknown validator kind", patched(dele, 22, 3), "unknown validator kind"},
        {"kind none with a device", patched(encoded(plain), 30, 1), "kind none"},
        {"negative validator size", patched(dele, 39, '\x80'), "negative validator size"},
        {"nanoseconds of a second or more",
         stat_reply.substr(0, stat_reply.size() - 4) + std::string("\x3b\x9a\xca\x00", 4), "nanoseconds"},
        {"version 2 send read as version 1", patched(encoded(v2[0]), 2, 1), "trailing"},
        {"version 1 command read as version 2",
         [&] {
             Message m = plain;
             m.version = kalder_ipc::kVersion1;
             return patched(encoded(m), 2, 2);
         }(),
         "truncated"},
        {"digest request in version 1", patched(encoded(v2[2]), 2, 1), "unknown frame type"},
        {"list reply in version 1", patched(encoded(v2[6]), 2, 1), "unknown reply operation"},
    };
    for (const auto &c : cases) {
        Message out;
        why.clear();
        EXPECT_FALSE(decode_frame(c.frame, &out, &why)) << c.name;
        EXPECT_NE(why.find(c.expect), std::string::npos) << c.name << ": " << why;
    }
}

// A fake back end: answers the session start, then sends `bytes`.
class FakeBackend {
   public:
    explicit FakeBackend(std::string after_open) : bytes_(std::move(after_open))
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd_, 1);
        socklen_t l = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &l);
        contact = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        thread_ = std::thread([this] {
            int c = accept(fd_, nullptr, nullptr);
            Message start;
            std::string why, frame;
            if (kalder_ipc::read_frame(c, -1, 5000, 5000, &start, &why) == kalder_ipc::READ_FRAME) {
                Message r;
                r.type = kalder_ipc::REPLY;
                r.op = KALDER_GFS_OP_SESSION_START;
                kalder_ipc::encode(r, &frame, &why);
                kalder_ipc::write_frame(c, frame, 5000, &why);
                usleep(100000);  // let the client issue its request first
                send(c, bytes_.data(), bytes_.size(), MSG_NOSIGNAL);
                char buf[256];
                timeval tv{5, 0};
                setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                while (recv(c, buf, sizeof buf, 0) > 0) {
                }
            }
            close(c);
        });
    }
    ~FakeBackend()
    {
        thread_.join();
        close(fd_);
    }
    std::string contact;

   private:
    std::string bytes_;
    int fd_;
    std::thread thread_;
};

TEST(IpcClient, HostileRepliesBreakTheSessionThroughTheErrorCallback)
{
    Message reply_to_nobody;
    reply_to_nobody.type = kalder_ipc::REPLY;
    reply_to_nobody.id = 4242;
    reply_to_nobody.op = KALDER_GFS_OP_COMMAND;
    std::string unknown_id, why;
    ASSERT_TRUE(kalder_ipc::encode(reply_to_nobody, &unknown_id, &why));
    Message wrong_type = reply_to_nobody;
    wrong_type.id = 1;  // the stat below is request 1, but this answers as a command
    std::string mismatched;
    ASSERT_TRUE(kalder_ipc::encode(wrong_type, &mismatched, &why));
    struct Case {
        const char *name;
        std::string bytes;
        const char *expect;
    } cases[] = {
        {"garbage", "HTTP/1.1 200 OK\r\n\r\n", "magic"},
        {"huge length", std::string("KI\x01\x20\x00\x00\x00\x01\x7f\xff\xff\xff", 12), "exceeds"},
        {"reply to no request", unknown_id, "replied to no request"},
        {"reply of the wrong type", mismatched, "replied to no request"},
        {"cut inside a frame", unknown_id.substr(0, 15), "inside a frame"},
    };
    for (const auto &c : cases) {
        FakeBackend fake(c.bytes);
        kt::Client client;
        kt::Record r = client.open(fake.contact, ":kalder-mapped-collection:");
        ASSERT_TRUE(r.ok()) << c.name;
        kalder_gfs_stat_info_t si{};
        si.file_only = 1;
        si.pathname = const_cast<char *>("/f");
        // The stat's reply never comes: the session breaks instead.
        kalder_gfs_ipc_request_stat(
            client.handle, &si,
            [](kalder_gfs_ipc_handle_t, kalder_result_t, kalder_gfs_finished_info_t *, void *) {
                ADD_FAILURE() << "a reply after the session broke";
            },
            nullptr);
        kt::Record e{kt::Record::ERROR};
        ASSERT_TRUE(client.wait_for(kt::Record::ERROR, &e, 10000)) << c.name;
        EXPECT_NE(kt::error_text(e.result).find(c.expect), std::string::npos)
            << c.name << ": " << kt::error_text(e.result);
        EXPECT_NE(kalder_gfs_ipc_request_stat(client.handle, &si, nullptr, nullptr), KALDER_SUCCESS);
        EXPECT_TRUE(client.close()) << c.name;
    }
}

// The request's memory may go once the close returns: a callback that is
// running on the session's thread has finished by then, nothing is
// delivered afterwards, and the close does not wait for the back end (this
// one never acknowledges).
TEST(IpcClient, CloseWaitsForARunningCallbackButNotForTheBackEnd)
{
    Message stat_reply;
    stat_reply.type = kalder_ipc::REPLY;
    stat_reply.id = 1;  // the first request
    stat_reply.op = KALDER_GFS_OP_STAT;
    std::string bytes, why;
    ASSERT_TRUE(kalder_ipc::encode(stat_reply, &bytes, &why)) << why;
    bytes += bytes;  // a second reply to the same id would break the session: it must not be read
    FakeBackend fake(bytes);
    kt::Client client;
    ASSERT_TRUE(client.open(fake.contact, ":kalder-mapped-collection:").ok());

    struct Seen {
        std::atomic<int> calls{0};
        std::atomic<bool> finished{false};
    } seen;
    kalder_gfs_stat_info_t si{};
    si.file_only = 1;
    si.pathname = const_cast<char *>("/f");
    ASSERT_EQ(kalder_gfs_ipc_request_stat(
                  client.handle, &si,
                  [](kalder_gfs_ipc_handle_t, kalder_result_t, kalder_gfs_finished_info_t *, void *arg) {
                      auto *s = static_cast<Seen *>(arg);
                      ++s->calls;
                      usleep(300000);
                      s->finished = true;
                  },
                  &seen),
              KALDER_SUCCESS);
    for (int i = 0; i < 500 && seen.calls == 0; ++i) usleep(10000);
    ASSERT_EQ(seen.calls, 1) << "the reply never came";

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(kalder_gfs_ipc_close(client.handle, nullptr, nullptr), KALDER_SUCCESS);
    const auto took = std::chrono::steady_clock::now() - start;
    client.handle = nullptr;  // the toolkit frees it after the back end's 5 seconds
    EXPECT_TRUE(seen.finished) << "the close returned while the callback still ran";
    EXPECT_LT(took, std::chrono::seconds(2)) << "the close waited for the back end";
    kt::Record late{kt::Record::ERROR};
    EXPECT_FALSE(client.wait_for(kt::Record::ERROR, &late, 500)) << "a callback after the close";
    EXPECT_EQ(seen.calls, 1);
}

}  // namespace
