// The back end's sessions: guest restrictions, the allow list, bounds,
// hostile clients, the Unix-domain socket's peers and shutdown.
#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "backend_client.h"
#include "kalder_ipc_wire.h"
#include "path_rule_cases.h"
#include "toolkit_testing.h"

namespace {

using kt::Backend;
using kt::Client;
using kt::guest_user;
using kt::kMapped;
using kt::listing;
using kt::numbered;
using kt::read_file;
using kt::Record;
using kt::write_file;

class GuestTest : public ::testing::Test {
   protected:
    GuestTest() : backend({"--share", "share-1={share}"}) {}
    Backend backend;
};

TEST_F(GuestTest, SiteRestrictionsDecideByLongestPrefix)
{
    mkdir((backend.share() + "/a").c_str(), 0755);
    mkdir((backend.share() + "/b").c_str(), 0755);
    mkdir((backend.share() + "/b/ro").c_str(), 0755);
    mkdir((backend.share() + "/with space").c_str(), 0755);
    mkdir((backend.share() + "/c").c_str(), 0755);
    write_file(backend.share() + "/a/f", "a-file");
    write_file(backend.share() + "/c/f", "c-file");
    write_file(backend.root() + "/f", "mapped root, not the share");

    Client c;
    Record r = c.open(backend.contact(), guest_user("share-1"));
    ASSERT_TRUE(r.ok()) << r.reply_error << backend.log();
    // Nothing is allowed before the restrictions arrive.
    EXPECT_NE(c.stat("/a/f").reply_error.find("Permission denied"), std::string::npos);
    ASSERT_TRUE(c.command(KALDER_GFS_CMD_SITE_RESTRICT, "r/a/,rw/b/,r/b/ro/,rw/with%20space/").ok());
    EXPECT_FALSE(c.command(KALDER_GFS_CMD_SITE_RESTRICT, "rw/").ok()) << "restrictions are set once";

    EXPECT_TRUE(c.stat("/a/f").ok());
    // The module's "prepare" walk stats and makes parents without a trailing
    // "/"; a rule for a directory's contents covers those two.
    EXPECT_TRUE(c.stat("/a").ok()) << "the directory of a rule itself";
    EXPECT_NE(c.command(KALDER_GFS_CMD_MKD, "/a").reply_error.find("Permission denied"), std::string::npos)
        << "reading \"/a/\" does not allow making \"/a\"";
    EXPECT_NE(c.command(KALDER_GFS_CMD_MKD, "/b").reply_error.find("File exists"), std::string::npos)
        << "writing \"/b/\" allows making \"/b\"";
    EXPECT_NE(c.command(KALDER_GFS_CMD_DELE, "/b").reply_error.find("Permission denied"), std::string::npos)
        << "only \"/b/\" may be deleted";
    EXPECT_EQ(c.download("/a/f", 'S', {}).data, "a-file");
    EXPECT_FALSE(c.upload("/a/g", "x", 1).reply.ok());
    EXPECT_FALSE(c.command(KALDER_GFS_CMD_DELE, "/a/f").ok());
    EXPECT_FALSE(c.command(KALDER_GFS_CMD_MKD, "/a/d").ok());

    EXPECT_TRUE(c.upload("/b/g", "written", 7).reply.ok());
    EXPECT_EQ(read_file(backend.share() + "/b/g"), "written");
    EXPECT_TRUE(c.command(KALDER_GFS_CMD_MKD, "/b/d").ok());
    EXPECT_FALSE(c.upload("/b/ro/g", "x", 1).reply.ok()) << "the longer read-only prefix wins";
    EXPECT_TRUE(c.upload("/with space/g", "x", 1).reply.ok()) << "percent-decoded prefix";

    EXPECT_FALSE(c.stat("/c/f").ok()) << "no rule";
    EXPECT_FALSE(c.stat("/ab").ok()) << "\"/a/\" does not cover \"/ab\"";
    EXPECT_FALSE(c.download("/c/f", 'S', {}).reply.ok());
    EXPECT_EQ(read_file(backend.share() + "/a/f"), "a-file");
}

// A link inside the share decides by where it leads: it cannot take a guest
// past the restrictions to another part of the same share.
TEST_F(GuestTest, LinksInsideTheShareAreCheckedWhereTheyLead)
{
    for (const char *d : {"/public", "/private"}) mkdir((backend.share() + d).c_str(), 0755);
    write_file(backend.share() + "/private/secret", "secret");
    write_file(backend.share() + "/public/open", "open");
    ASSERT_EQ(symlink("../private/secret", (backend.share() + "/public/to-secret").c_str()), 0);
    ASSERT_EQ(symlink("../private", (backend.share() + "/public/to-private").c_str()), 0);
    ASSERT_EQ(symlink("open", (backend.share() + "/public/to-open").c_str()), 0);

    Client c;
    ASSERT_TRUE(c.open(backend.contact(), guest_user("share-1")).ok()) << backend.log();
    ASSERT_TRUE(c.command(KALDER_GFS_CMD_SITE_RESTRICT, "rw/public/").ok());
    for (const char *p : {"/public/to-secret", "/public/to-private/secret"}) {
        Record st = c.stat(p);
        EXPECT_NE(st.reply_error.find("Permission denied"), std::string::npos) << p << ": " << st.reply_error;
        EXPECT_EQ(st.reply_error, "back end: " + std::string(p) + ": Permission denied\n")
            << "names the request, not where the link led";
        kt::TransferResult get = c.download(p, 'S', {});
        EXPECT_FALSE(get.reply.ok()) << p;
        EXPECT_EQ(get.data, "") << p;
    }
    EXPECT_FALSE(c.upload("/public/to-private/new", "x", 1).reply.ok());
    EXPECT_FALSE(c.command(KALDER_GFS_CMD_MKD, "/public/to-private/d").ok());
    EXPECT_FALSE(c.command(KALDER_GFS_CMD_DELE, "/public/to-private/secret").ok());
    EXPECT_EQ(read_file(backend.share() + "/private/secret"), "secret");
    EXPECT_EQ(listing(backend.share() + "/private"), std::vector<std::string>{"secret"});

    // A link that stays where the guest may go works as before.
    EXPECT_EQ(c.download("/public/to-open", 'S', {}).data, "open");
}

// The module decided these cases the same way (test_authz.cpp); a path it
// grants must not come back "Permission denied". The share is empty, so a
// permitted read or delete fails only for the missing file. Restrictions are
// set once per session: cases with the same rules share one.
TEST_F(GuestTest, SiteRestrictionsDecideAsTheModuleDoes)
{
    std::unique_ptr<Client> c;
    std::string session_list;
    for (const path_rule_cases::Case &cs : path_rule_cases::cases()) {
        std::string list;
        for (const path_rule_cases::Rule &rule : cs.rules)
            list += std::string(list.empty() ? "" : ",") + rule.perms + rule.encoded_path;
        if (!c || list != session_list) {
            if (c) {
                EXPECT_TRUE(c->close());
            }
            c = std::make_unique<Client>();
            ASSERT_TRUE(c->open(backend.contact(), guest_user("share-1")).ok()) << backend.log();
            Record restrict = c->command(KALDER_GFS_CMD_SITE_RESTRICT, list);
            session_list = list;
            if (cs.verdict == path_rule_cases::UNDECODABLE) {
                EXPECT_NE(restrict.reply_error.find("malformed escape"), std::string::npos)
                    << path_rule_cases::describe(cs) << ": " << restrict.reply_error;
                continue;
            }
            ASSERT_TRUE(restrict.ok()) << path_rule_cases::describe(cs) << ": " << restrict.reply_error;
        }
        std::string error = cs.letter == 'r' ? c->download(cs.path, 'S', {}).reply.reply_error
                                             : c->command(KALDER_GFS_CMD_DELE, cs.path).reply_error;
        EXPECT_FALSE(error.empty()) << path_rule_cases::describe(cs);
        EXPECT_EQ(error.find("Permission denied") == std::string::npos,
                  cs.verdict == path_rule_cases::PERMITTED)
            << path_rule_cases::describe(cs) << ": " << error;
    }
    EXPECT_TRUE(c->close());
}

TEST_F(GuestTest, UnknownSharingIdAndMalformedUsersAreRefused)
{
    struct Case {
        std::string user;
        const char *expect;
    } cases[] = {
        {guest_user("share-2"), "Unknown sharing id."},
        {":kalder-sharing:ID=share-1;SHAREE=x", "Malformed session user string."},
        {"alice", "Unsupported session user."},
        {":kalder-mapped-collection:ENDPOINT_ID=1;ENDPOINT_ID=2;IDENTITY_IDS=;IDENTITY_NAMES=;HIGH_ASSURANCE="
         "0;",
         "Malformed session user string."},
    };
    for (const auto &cs : cases) {
        Client c;
        Record r = c.open(backend.contact(), cs.user);
        EXPECT_EQ(r.result, KALDER_SUCCESS);
        EXPECT_NE(r.reply_error.find(cs.expect), std::string::npos) << cs.user << ": " << r.reply_error;
        // A refused session cannot be used, but closes cleanly.
        EXPECT_NE(c.stat("/").result, KALDER_SUCCESS);
        EXPECT_TRUE(c.close());
    }
}

TEST(BackendSessions, AllowListRefusesSessionsWithoutAnAllowedIdentity)
{
    Backend backend({"--allow", "bob@example.org"});
    Client ok;
    EXPECT_TRUE(ok.open(backend.contact(), kMapped).ok()) << "bob is the second identity";
    Client refused;
    Record r = refused.open(backend.contact(),
                            ":kalder-mapped-collection:ENDPOINT_ID=1;IDENTITY_IDS=u3;IDENTITY_NAMES=carol%"
                            "40example.org;HIGH_ASSURANCE=0;");
    EXPECT_NE(r.reply_error.find("None of your identities is allowed"), std::string::npos) << r.reply_error;
    Client anonymous;
    r = anonymous.open(
        backend.contact(),
        ":kalder-mapped-collection:ENDPOINT_ID=1;IDENTITY_IDS=;IDENTITY_NAMES=;HIGH_ASSURANCE=0;");
    EXPECT_FALSE(r.ok());
}

TEST(BackendSessions, SessionsAreBoundedAndSigtermEndsCleanlyWithSessionsOpen)
{
    Backend backend({"--max-sessions", "2"});
    Client a, b, c;
    ASSERT_TRUE(a.open(backend.contact(), kMapped).ok());
    ASSERT_TRUE(b.open(backend.contact(), kMapped).ok());
    Record r = c.open(backend.contact(), kMapped);
    EXPECT_NE(r.reply_error.find("too many sessions"), std::string::npos) << r.reply_error;
    c.close();
    // Closing one makes room again.
    EXPECT_TRUE(a.close());
    Client d;
    bool opened = false;
    for (int i = 0; i < 100 && !opened; ++i) {  // the back end reaps within a second
        opened = d.open(backend.contact(), kMapped).ok();
        if (!opened) {
            d.close();
            usleep(50000);
        }
    }
    EXPECT_TRUE(opened);
    EXPECT_EQ(backend.stop(), 0) << backend.log();
    // The session that was open learns that it broke.
    Record e{Record::ERROR};
    EXPECT_TRUE(b.wait_for(Record::ERROR, &e, 5000));
}

TEST(BackendSessions, HostileBytesEndOnlyThatSession)
{
    Backend backend;
    int port = std::stoi(backend.contact().substr(backend.contact().rfind(':') + 1));
    const std::string frames[] = {
        std::string("GET / HTTP/1.1\r\n\r\n"),
        std::string("KI\x01\x01\x00\x00\x00\x00\xff\xff\xff\xff", 12),  // 4 GiB payload announced
        std::string("KI\x01\x01\x00\x00\x00\x00\x00\x00\x00\x08"
                    "\x00\x00\xff\xff\x00\x00\x00\x00",
                    20),
    };
    for (const auto &f : frames) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(send(fd, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[256];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
        }
        EXPECT_TRUE(n == 0 || errno == ECONNRESET) << "the back end must close the connection";
        close(fd);
    }
    Client c;
    EXPECT_TRUE(c.open(backend.contact(), kMapped).ok()) << "still serving";
}

TEST(BackendSessions, ConnectFailureReportsThroughTheOpenCallbackWithoutHandle)
{
    const std::pair<const char *, const char *> cases[] = {
        {"127.0.0.1:1", "cannot connect to the back end 127.0.0.1:1: Connection refused"},
        {"unix:/nonexistent/backend.sock",
         "cannot connect to the back end unix:/nonexistent/backend.sock: No such file or directory"},
        {"unix:backend.sock", "the socket path must be absolute"},
        {"backend.test", "expected HOST:PORT or unix:/PATH"},
    };
    for (const auto &[contact, expect] : cases) {
        Client c;
        Record r = c.open(contact, kMapped);
        EXPECT_EQ(r.handle, nullptr) << contact;
        EXPECT_NE(r.result, KALDER_SUCCESS) << contact;
        EXPECT_NE(kt::error_text(r.result).find(expect), std::string::npos) << kt::error_text(r.result);
    }
    // Unusable arguments fail at once, with no callback.
    kalder_gfs_session_info_t si{};
    EXPECT_NE(kalder_gfs_ipc_handle_connect_ex(&si, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                               nullptr, 0, 0, 0),
              KALDER_SUCCESS);
}

// --- the Unix-domain socket: only the gateway's uid is served ----------------

// What a client running as uid and gid 65534 (nobody, nogroup) got back
// after it connected to the socket and sent a well-formed session start.
struct Peer {
    pid_t pid = -1;
    bool connected = false;
    std::string received;  // empty: the back end closed without a byte
};

Peer connect_as_nobody(const std::string &path)
{
    kalder_ipc::Message m;
    m.type = kalder_ipc::SESSION_START;
    m.username = kMapped;
    m.map_user = 1;
    m.credential = kt::make_credential_pem();
    std::string frame, why;
    EXPECT_TRUE(kalder_ipc::encode(m, &frame, &why)) << why;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    Peer peer;
    peer.pid = fork();
    if (peer.pid == 0) {
        // Only system calls from here: the parent has other threads.
        close(out[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            _exit(11);
        timeval tv{10, 0};  // a bound on a hung back end, not a measurement
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        send(s, frame.data(), frame.size(), MSG_NOSIGNAL);
        char buf[256];
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n > 0)
            (void)!write(out[1], buf, static_cast<size_t>(n));
        _exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : n > 0 ? 1 : 12);
    }
    close(out[1]);
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) peer.received.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(peer.pid, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    EXPECT_TRUE(code == 0 || code == 1 || code == 11) << "the peer failed with status " << code;
    peer.connected = code == 0 || code == 1;
    return peer;
}

TEST(BackendUnixSocket, ServesRootAndTheWebServerUserAndClosesOnOtherUidsUnanswered)
{
    Backend backend({"--socket-group", "65534"}, kt::Transport::UNIX);
    struct stat st {};
    ASSERT_EQ(lstat(backend.socket_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_NE(backend.log().find("serving only uids 0 (root)"), std::string::npos) << backend.log();

    Client c;  // this process runs as root
    ASSERT_TRUE(c.open(backend.contact(), kMapped).ok()) << backend.log();
    EXPECT_TRUE(c.stat("/").ok());

    // The group lets nobody open the socket; its uid is still not served.
    Peer peer = connect_as_nobody(backend.socket_path());
    EXPECT_TRUE(peer.connected);
    EXPECT_EQ(peer.received, "") << "nothing may be sent to a refused peer";
    EXPECT_NE(backend.log().find("refused connection from uid 65534 (pid " + std::to_string(peer.pid) +
                                 "): not allowed by --allow-uid"),
              std::string::npos)
        << backend.log();
    EXPECT_TRUE(c.stat("/").ok()) << "the open session is unaffected";
}

TEST(BackendUnixSocket, AllowUidNamesEveryServedUser)
{
    Backend backend({"--socket-group", "nogroup", "--allow-uid", "nobody,12345"}, kt::Transport::UNIX);
    Peer peer = connect_as_nobody(backend.socket_path());
    ASSERT_GE(peer.received.size(), kalder_ipc::kHeaderSize) << backend.log();
    EXPECT_EQ(peer.received.substr(0, 2), "KI");
    EXPECT_EQ(static_cast<uint8_t>(peer.received[3]), kalder_ipc::REPLY);
    // Root is served by default only: this list replaced the default.
    Client c;
    Record r = c.open(backend.contact(), kMapped);
    EXPECT_EQ(r.handle, nullptr);
    EXPECT_NE(kt::error_text(r.result).find("closed the connection before the session opened"),
              std::string::npos)
        << kt::error_text(r.result);
    EXPECT_NE(backend.log().find("refused connection from uid 0 "), std::string::npos) << backend.log();
}

// Runs kalder-backend to its end; its exit status, and its output in *out.
int run_backend(const std::vector<std::string> &args, std::string *out)
{
    char tmpl[] = "/tmp/kalder-backend-out-XXXXXX";
    int fd = mkstemp(tmpl);
    pid_t pid = kt::spawn_backend(args, fd);
    close(fd);
    int status = -1;
    if (pid > 0)
        waitpid(pid, &status, 0);
    *out = read_file(tmpl);
    unlink(tmpl);
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(BackendUnixSocket, AStaleSocketIsReplacedButALiveOneOrAnotherFileStopsTheStart)
{
    char tmpl[] = "/tmp/kalder-socket-test-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string path = dir + "/backend.sock";
    {
        // A socket file whose server is gone.
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        close(s);
    }
    std::string out;
    {
        Backend backend({"--listen", "unix:" + path}, kt::Transport::UNIX);
        EXPECT_NE(backend.log().find("replaced the stale socket " + path), std::string::npos)
            << backend.log();
        Client c;
        EXPECT_TRUE(c.open("unix:" + path, kMapped).ok()) << backend.log();
        EXPECT_TRUE(c.close());
        EXPECT_EQ(run_backend({"--listen", "unix:" + path, "--root", dir}, &out), 1);
        EXPECT_NE(out.find("cannot listen on unix:" + path + ": a running server already listens on"),
                  std::string::npos)
            << out;
        EXPECT_EQ(backend.stop(), 0);
        struct stat st;
        EXPECT_NE(lstat(path.c_str(), &st), 0) << "the socket is removed at the end";
    }
    write_file(path, "not a socket");
    EXPECT_EQ(run_backend({"--listen", "unix:" + path, "--root", dir}, &out), 1);
    EXPECT_NE(out.find(path + " exists and is not a socket"), std::string::npos) << out;
    EXPECT_EQ(read_file(path), "not a socket");

    const std::pair<std::vector<std::string>, const char *> usage_errors[] = {
        {{"--listen", "unix:backend.sock"}, "the socket path must be absolute"},
        {{"--listen", "unix:/" + std::string(120, 's')}, "at most 107 fit"},
        {{"--listen", "127.0.0.1:5000", "--allow-uid", "0"}, "apply only to --listen unix:PATH"},
        {{"--listen", "unix:" + dir + "/b", "--allow-uid", "no-such-user"},
         "--allow-uid: no user no-such-user"},
        {{"--listen", "unix:" + dir + "/b", "--socket-group", "no-such-group"}, "--socket-group: no group"},
        {{"--listen", "unix:" + dir + "/b", "--web-server-user", "no-such-user"}, "no user no-such-user"},
    };
    for (const auto &[args, expect] : usage_errors) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--root", dir});
        EXPECT_EQ(run_backend(all, &out), 2) << args[1];
        EXPECT_NE(out.find(expect), std::string::npos) << out;
    }
    std::system(("rm -rf " + dir).c_str());
}

TEST(BackendSessions, SigtermDuringAnUploadKeepsTheOldFileAndLeavesNoTemporaryFile)
{
    Backend backend;
    write_file(backend.root() + "/f", "old contents");
    Client c;
    ASSERT_TRUE(c.open(backend.contact(), kMapped).ok());
    int status = -2;
    kt::TransferResult t = c.upload("/f", "half of the new", 30, false, [&] { status = backend.stop(); });
    EXPECT_EQ(status, 0) << backend.log();
    EXPECT_FALSE(t.reply.ok());
    EXPECT_EQ(read_file(backend.root() + "/f"), "old contents");
    EXPECT_EQ(listing(backend.root()), (std::vector<std::string>{"f"}));
}

}  // namespace
