// The back end's protocol version 2: version 1 sessions beside it, the
// validators of sends, receives and deletes, digests and listings.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "backend_client.h"
#include "kalder_ipc_wire.h"
#include "kalder_net.h"
#include "toolkit_testing.h"

namespace {

using kt::Backend;
using kt::Client;
using kt::kMapped;
using kt::listing;
using kt::numbered;
using kt::read_file;
using kt::Record;
using kt::write_file;

const std::string kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kAbcSha512 =
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423"
    "643ce8"
    "0e2a9ac94fa54ca49f";

class BackendV2Test : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_TRUE(c.open(backend.contact(), kMapped).ok()) << backend.log(); }
    std::string path(const std::string &name) const { return backend.root() + name; }
    Backend backend;
    Client c;
};

// An older client speaks version 1: the back end answers it in version 1
// (a version 2 stat entry would not decode as one), and a version 2 frame
// inside that session ends it.
TEST(BackendV1, AVersion1SessionIsAnsweredInVersion1)
{
    Backend backend;
    write_file(backend.root() + "/f", "hello");
    Client holder;  // for its credential
    OM_uint32 minor = 0;
    gss_buffer_desc cred{0, nullptr};
    ASSERT_EQ(gss_export_cred(&minor, holder.cred, GSS_C_NO_OID, GSS_IMPEXP_OPAQUE_FORM, &cred),
              GSS_S_COMPLETE);
    kalder_ipc::Message start;
    start.version = kalder_ipc::kVersion1;
    start.type = kalder_ipc::SESSION_START;
    start.username = kMapped;
    start.map_user = 1;
    start.credential.assign(static_cast<const char *>(cred.value), cred.length);
    gss_release_buffer(&minor, &cred);

    kalder::Contact where;
    std::string why, frame;
    ASSERT_TRUE(kalder::parse_contact(backend.contact(), &where, &why)) << why;
    kalder::ConnectFailure failure;
    kalder::UniqueFd fd = kalder::connect_stream(where, kalder::ConnectOptions{}, &failure);
    ASSERT_TRUE(fd) << failure.text();
    auto exchange = [&](kalder_ipc::Message &m, kalder_ipc::Message *reply) {
        if (!kalder_ipc::encode(m, &frame, &why) || !kalder_ipc::write_frame(fd.get(), frame, 5000, &why))
            return kalder_ipc::READ_ERROR;
        return kalder_ipc::read_frame(fd.get(), -1, 10000, 10000, reply, &why);
    };
    kalder_ipc::Message reply;
    ASSERT_EQ(exchange(start, &reply), kalder_ipc::READ_FRAME) << why;
    EXPECT_EQ(reply.version, kalder_ipc::kVersion1);
    EXPECT_EQ(reply.code, 0u) << reply.error;
    kalder_ipc::Message stat;
    stat.version = kalder_ipc::kVersion1;
    stat.type = kalder_ipc::STAT;
    stat.id = 1;
    stat.file_only = 1;
    stat.pathname = "/f";
    ASSERT_EQ(exchange(stat, &reply), kalder_ipc::READ_FRAME) << why;
    EXPECT_EQ(reply.version, kalder_ipc::kVersion1);
    ASSERT_EQ(reply.stats.size(), 1u);
    EXPECT_EQ(reply.stats[0].size, 5);
    stat.version = kalder_ipc::kVersion;
    stat.id = 2;
    EXPECT_EQ(exchange(stat, &reply), kalder_ipc::READ_EOF) << "a newer frame in a version 1 session";
}

// A send with the stat'ed validator reads exactly that file: one replaced
// after the stat is refused before any data moves, and one written to while
// it is sent is cut (no orderly close) and fails.
TEST_F(BackendV2Test, SendRefusesAReplacedFileAndCutsAnInPlaceChange)
{
    const std::string data = numbered(16 << 20);  // more than the socket buffers hold
    write_file(path("/f"), data);
    Record st = c.stat("/f");
    ASSERT_TRUE(st.ok()) << st.reply_error;
    struct stat real;
    ASSERT_EQ(::stat(path("/f").c_str(), &real), 0);
    EXPECT_EQ(st.stat.dev, static_cast<unsigned long long>(real.st_dev));
    EXPECT_EQ(st.stat.ino, static_cast<unsigned long long>(real.st_ino));
    EXPECT_EQ(st.stat.mtime_nsec, real.st_mtim.tv_nsec);

    kt::TransferExtras same;
    same.precondition = st.validator();
    kt::TransferResult t = c.download("/f", 'E', {{0, 100}}, same);
    EXPECT_TRUE(t.reply.ok()) << "the file is unchanged: " << t.reply.reply_error;

    same.after_first_read = [&] {
        int fd = open(path("/f").c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(fd, "X", 1, 0), 1);
        const timespec later[2] = {{0, UTIME_OMIT}, {real.st_mtim.tv_sec + 5, 0}};
        futimens(fd, later);  // a distinct mtime, whatever the clock's granularity
        close(fd);
    };
    t = c.download("/f", 'S', {}, same);
    EXPECT_EQ(t.reply.code, KALDER_GFS_E_CHANGED) << t.reply.reply_error;
    EXPECT_FALSE(kalder_xio_error_is_eof(t.last_read)) << "cut, not closed: " << kt::error_text(t.last_read);

    write_file(path("/f.new"), data);
    ASSERT_EQ(rename(path("/f.new").c_str(), path("/f").c_str()), 0);
    t = c.download("/f", 'S', {}, same);
    EXPECT_EQ(t.reply.code, KALDER_GFS_E_CHANGED);
    EXPECT_NE(t.reply.reply_error.find("/f: changed since it was looked up"), std::string::npos)
        << t.reply.reply_error;
    EXPECT_TRUE(t.events.empty()) << "refused before the transfer began";
    EXPECT_EQ(t.data, "");
}

// An upload's digest and its condition on the target decide whether it
// replaces the file; a refused upload leaves the old file and no temporary.
TEST_F(BackendV2Test, UploadsCommitOnlyWithTheirDigestAndConditionHolding)
{
    write_file(path("/f"), "old");
    write_file(path("/r"), "old-r");
    const kalder_gfs_validator_t current = c.stat("/f").validator(), current_r = c.stat("/r").validator();
    kalder_gfs_validator_t stale = current;
    stale.mtime_nsec = (stale.mtime_nsec + 1) % 1000000000;
    const kalder_gfs_validator_t absent{KALDER_GFS_PRECONDITION_ABSENT, 0, 0, 0, 0, 0};
    auto replace_r = [&] {
        write_file(path("/r.other"), "other");
        rename(path("/r.other").c_str(), path("/r").c_str());
    };
    struct Case {
        const char *name;
        const char *target;
        std::string alg, hex;
        kalder_gfs_validator_t precondition;
        std::function<void()> during;  // before the upload's data connection closes
        int code;
        const char *expect;  // in the error text
    } cases[] = {
        {"unknown algorithm",
         "/f",
         "md5",
         "900150983cd24fb0d6963f7d28e17f72",
         {},
         nullptr,
         KALDER_GFS_E_INVALID,
         "Unsupported checksum algorithm"},
        {"upper-case hex",
         "/f",
         "sha-256",
         "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
         {},
         nullptr,
         KALDER_GFS_E_INVALID,
         "lowercase hex"},
        {"digest mismatch",
         "/f",
         "sha-256",
         std::string(64, '0'),
         {},
         nullptr,
         KALDER_GFS_E_DIGEST_MISMATCH,
         "/f: the sha-256 digest of the received bytes does not match"},
        {"stale validator", "/f", "", "", stale, nullptr, KALDER_GFS_E_PRECONDITION, "changed since"},
        {"replaced during the upload", "/r", "", "", current_r, replace_r, KALDER_GFS_E_PRECONDITION,
         "changed since"},
        {"absent but existing", "/f", "", "", absent, nullptr, KALDER_GFS_E_PRECONDITION, "/f: exists"},
        {"absent, created during the upload", "/g", "", "", absent, [&] { write_file(path("/g"), "raced"); },
         KALDER_GFS_E_PRECONDITION, "/g: exists"},
        {"sha-512 matches", "/h", "sha-512", kAbcSha512, absent, nullptr, KALDER_GFS_OK, ""},
        {"sha-256 and validator hold", "/f", "sha-256", kAbcSha256, current, nullptr, KALDER_GFS_OK, ""},
    };
    for (const auto &cs : cases) {
        const std::string before = read_file(path(cs.target));
        kt::TransferExtras extras;
        extras.checksum_alg = cs.alg;
        extras.checksum = cs.hex;
        extras.precondition = cs.precondition;
        kt::TransferResult t = c.upload(cs.target, "abc", 3, false, cs.during, extras);
        EXPECT_EQ(t.reply.code, cs.code) << cs.name << ": " << t.reply.reply_error;
        EXPECT_NE(t.reply.reply_error.find(cs.expect), std::string::npos)
            << cs.name << ": " << t.reply.reply_error;
        if (cs.code == KALDER_GFS_OK) {
            EXPECT_EQ(read_file(path(cs.target)), "abc") << cs.name;
            // The reply names the stored file as a stat of it does.
            ASSERT_EQ(t.reply.stat_count, 1) << cs.name;
            const kalder_gfs_validator_t stored = t.reply.validator(), now = c.stat(cs.target).validator();
            EXPECT_EQ(std::make_tuple(stored.dev, stored.ino, stored.size, stored.mtime, stored.mtime_nsec),
                      std::make_tuple(now.dev, now.ino, now.size, now.mtime, now.mtime_nsec))
                << cs.name;
        } else {
            EXPECT_EQ(t.reply.stat_count, 0) << cs.name;
            EXPECT_NE(read_file(path(cs.target)), "abc") << cs.name << ": the refused upload was committed";
            if (!cs.during) {
                EXPECT_EQ(read_file(path(cs.target)), before) << cs.name;
            }
        }
    }
    EXPECT_EQ(listing(backend.root()), (std::vector<std::string>{"f", "g", "h", "r"}))
        << "temporaries left behind";
}

TEST_F(BackendV2Test, DeleteWithAValidatorRemovesOnlyThatFile)
{
    write_file(path("/f"), "one");
    const kalder_gfs_validator_t seen = c.stat("/f").validator();
    write_file(path("/f.new"), "two");
    ASSERT_EQ(rename(path("/f.new").c_str(), path("/f").c_str()), 0);
    Record r = c.command(KALDER_GFS_CMD_DELE, "/f", seen);
    EXPECT_EQ(r.code, KALDER_GFS_E_PRECONDITION) << r.reply_error;
    EXPECT_EQ(read_file(path("/f")), "two");
    r = c.command(KALDER_GFS_CMD_DELE, "/f", c.stat("/f").validator());
    EXPECT_TRUE(r.ok()) << r.reply_error;
    EXPECT_EQ(listing(backend.root()), std::vector<std::string>{});
}

TEST_F(BackendV2Test, DigestIsOfTheWholeFileWithItsStat)
{
    write_file(path("/abc"), "abc");
    mkdir(path("/d").c_str(), 0755);
    struct Case {
        const char *path, *alg;
        int code;
        std::string hex;
    } cases[] = {
        {"/abc", "sha-256", KALDER_GFS_OK, kAbcSha256},      {"/abc", "sha-512", KALDER_GFS_OK, kAbcSha512},
        {"/abc", "sha-1", KALDER_GFS_E_INVALID, ""},         {"/d", "sha-256", KALDER_GFS_E_NOT_FOUND, ""},
        {"/missing", "sha-256", KALDER_GFS_E_NOT_FOUND, ""},
    };
    for (const auto &cs : cases) {
        Record r = c.digest(cs.path, cs.alg);
        EXPECT_EQ(r.type, KALDER_GFS_OP_DIGEST);
        EXPECT_EQ(r.code, cs.code) << cs.path << " " << cs.alg << ": " << r.reply_error;
        EXPECT_EQ(r.digest_hex, cs.hex) << cs.path << " " << cs.alg;
    }
    Record r = c.digest("/abc", "sha-256");
    EXPECT_EQ(r.digest_alg, "sha-256");
    EXPECT_EQ(r.stat.size, 3);
    EXPECT_EQ(r.stat.ino, c.stat("/abc").stat.ino);
}

// Pages of two: sorted, continued by name, ending with "" -- without the
// back end's temporaries, special files and links out of the root.
TEST_F(BackendV2Test, ListPagesSortedWithoutTemporariesOrSpecialFiles)
{
    const std::string d = path("/d");
    mkdir(d.c_str(), 0755);
    for (const char *n : {"b", "a", ".dot", "C", ".a.kalder-0123456789abcdef.part"})
        write_file(d + "/" + n, n);
    mkdir((d + "/sub").c_str(), 0755);
    mkfifo((d + "/fifo").c_str(), 0644);
    ASSERT_EQ(symlink("a", (d + "/to-a").c_str()), 0);
    ASSERT_EQ(symlink("/etc/passwd", (d + "/outside").c_str()), 0);

    std::vector<std::string> names;
    std::string after;
    int pages = 0;
    do {
        Record r = c.list("/d", after, 2);
        ASSERT_TRUE(r.ok()) << r.reply_error;
        ASSERT_LE(r.stat_count, 2);
        names.insert(names.end(), r.names.begin(), r.names.end());
        after = r.next;
        ASSERT_LT(++pages, 10) << "the listing does not end";
    } while (!after.empty());
    EXPECT_EQ(names, (std::vector<std::string>{".dot", "C", "a", "b", "sub", "to-a"}));
    Record link = c.list("/d", "sub", 1);
    EXPECT_EQ(link.stat_mode & 0xF000, 0x8000) << "a link is listed as what it leads to";
    EXPECT_EQ(link.stat_size, 1);
    EXPECT_EQ(link.next, "");

    EXPECT_EQ(c.list("/d", "", 0).code, KALDER_GFS_E_INVALID);
    EXPECT_EQ(c.list("/d", "", 1001).code, KALDER_GFS_E_INVALID);
    Record file = c.list("/d/a", "", 10);
    EXPECT_EQ(file.code, KALDER_GFS_E_INVALID);
    EXPECT_NE(file.reply_error.find("/d/a: Not a directory"), std::string::npos) << file.reply_error;
}

// A guest lists a directory it may read, and in it only what it may stat.
TEST(BackendV2Guest, ListShowsAGuestOnlyWhatItMayStat)
{
    Backend backend({"--share", "share-1={share}"});
    const std::string pub = backend.share() + "/pub";
    mkdir(pub.c_str(), 0755);
    mkdir((pub + "/hidden").c_str(), 0755);
    mkdir((backend.share() + "/private").c_str(), 0755);
    write_file(pub + "/open", "x");
    write_file(backend.share() + "/private/secret", "x");
    ASSERT_EQ(symlink("../private/secret", (pub + "/to-secret").c_str()), 0);
    Client c;
    ASSERT_TRUE(c.open(backend.contact(), kt::guest_user("share-1")).ok()) << backend.log();
    ASSERT_TRUE(c.command(KALDER_GFS_CMD_SITE_RESTRICT, "r/pub/,/pub/hidden").ok());
    Record r = c.list("/pub", "", 100);
    ASSERT_TRUE(r.ok()) << r.reply_error;
    EXPECT_EQ(r.names, std::vector<std::string>{"open"});
    for (const char *denied : {"/", "/private", "/pub/hidden"})
        EXPECT_EQ(c.list(denied, "", 100).code, KALDER_GFS_E_DENIED) << denied;
}

}  // namespace
