// The back end driven through the IPC client: commands, both transfer
// modes, confinement and receive integrity.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "backend_client.h"
#include "kalder_eblock.h"
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

class BackendTest : public ::testing::Test {
   protected:
    void open_mapped(Client &c)
    {
        Record r = c.open(backend.contact(), kMapped);
        ASSERT_TRUE(r.ok()) << kt::error_text(r.result) << r.reply_error << backend.log();
        ASSERT_NE(c.handle, nullptr);
    }
    Backend backend;
};

TEST_F(BackendTest, StatMakeDirectoryAndDelete)
{
    write_file(backend.root() + "/f.txt", "hello");
    Client c;
    open_mapped(c);

    Record r = c.stat("/f.txt");
    ASSERT_TRUE(r.ok()) << r.reply_error;
    EXPECT_EQ(r.type, KALDER_GFS_OP_STAT);
    EXPECT_EQ(r.stat_count, 1);
    EXPECT_EQ(r.stat_mode & 0xF000, 0x8000);
    EXPECT_EQ(r.stat_size, 5);
    EXPECT_EQ(r.stat_name, "f.txt");

    r = c.stat("/missing");
    EXPECT_EQ(r.result, KALDER_SUCCESS);
    EXPECT_NE(r.reply_error.find("/missing: No such file or directory"), std::string::npos) << r.reply_error;

    r = c.command(KALDER_GFS_CMD_MKD, "/a");
    EXPECT_TRUE(r.ok()) << r.reply_error;
    EXPECT_EQ(r.type, KALDER_GFS_OP_COMMAND);
    r = c.stat("/a");
    EXPECT_EQ(r.stat_mode & 0xF000, 0x4000);
    EXPECT_FALSE(c.command(KALDER_GFS_CMD_MKD, "/a").ok()) << "existing directory";
    EXPECT_FALSE(c.command(KALDER_GFS_CMD_MKD, "/x/y").ok()) << "missing parent";

    EXPECT_TRUE(c.command(KALDER_GFS_CMD_DELE, "/f.txt").ok());
    EXPECT_FALSE(c.stat("/f.txt").ok());
    r = c.command(KALDER_GFS_CMD_DELE, "/f.txt");
    EXPECT_NE(r.reply_error.find("No such file"), std::string::npos) << r.reply_error;
    EXPECT_TRUE(c.command(KALDER_GFS_CMD_DELE, "/a").ok()) << "empty directory";
    EXPECT_FALSE(c.command(KALDER_GFS_CMD_DELE, "/").ok());
    EXPECT_FALSE(c.command(77, "/a").ok()) << "unknown command";
    EXPECT_TRUE(c.close());
}

TEST_F(BackendTest, StreamModeSendsTheWholeFileByteForByte)
{
    std::string data = numbered(3 * 1048576 + 12345);
    data[100] = '\0';  // binary-safe
    write_file(backend.root() + "/big.bin", data);
    write_file(backend.root() + "/empty", "");
    Client c;
    open_mapped(c);
    kt::TransferResult t = c.download("/big.bin", 'S', {{0, -1}});
    ASSERT_TRUE(t.reply.ok()) << kt::error_text(t.reply.result) << t.reply.reply_error << backend.log();
    EXPECT_EQ(t.reply.type, KALDER_GFS_OP_TRANSFER);
    EXPECT_TRUE(t.data == data) << "got " << t.data.size() << " of " << data.size() << " bytes";
    EXPECT_TRUE(kalder_xio_error_is_eof(t.last_read)) << kt::error_text(t.last_read);
    EXPECT_EQ(t.events,
              (std::vector<int>{KALDER_GFS_EVENT_TRANSFER_BEGIN, KALDER_GFS_EVENT_TRANSFER_CONNECTED}));

    t = c.download("/empty", 'S', {});
    EXPECT_TRUE(t.reply.ok()) << t.reply.reply_error;
    EXPECT_EQ(t.data, "");

    t = c.download("/missing", 'S', {{0, -1}});
    EXPECT_NE(t.reply.reply_error.find("No such file"), std::string::npos) << t.reply.reply_error;
    EXPECT_TRUE(t.events.empty()) << "a failure before the data flows has no events";
}

TEST_F(BackendTest, ExtendedBlockModeSendsOnlyTheListedRangesWithOffsets)
{
    const size_t size = 3 * 1048576 + 500;
    std::string data = numbered(size);
    write_file(backend.root() + "/f", data);
    Client c;
    open_mapped(c);
    std::vector<std::pair<int64_t, int64_t>> ranges = {
        {0, 100}, {1048576 - 10, 1048576 + 20}, {3 * 1048576, -1}};
    kt::TransferResult t = c.download("/f", 'E', ranges);
    ASSERT_TRUE(t.reply.ok()) << t.reply.reply_error << backend.log();

    // Walk the blocks: every data block matches the file at its offset and
    // is at most 1 MiB; the stream ends with the end-of-file block.
    std::map<uint64_t, uint64_t> covered;  // offset -> count
    size_t at = 0;
    bool eof = false;
    while (at + KALDER_EBLOCK_HEADER_SIZE <= t.data.size()) {
        const kalder_eblock_header_t hdr =
            kalder_eblock_decode(reinterpret_cast<const unsigned char *>(t.data.data() + at));
        const unsigned char desc = hdr.flags;
        const uint64_t count = hdr.count, offset = hdr.offset;
        at += KALDER_EBLOCK_HEADER_SIZE;
        if (desc & KALDER_EBLOCK_EOF) {
            EXPECT_EQ(desc, KALDER_EBLOCK_EOF | KALDER_EBLOCK_EOD);
            EXPECT_EQ(count, 0u);
            EXPECT_EQ(offset, 1u);
            eof = true;
            break;
        }
        EXPECT_EQ(desc, 0);
        ASSERT_LE(count, 1048576u);
        ASSERT_LE(at + count, t.data.size());
        ASSERT_LE(offset + count, size);
        EXPECT_TRUE(t.data.compare(at, count, data, offset, count) == 0) << "block at offset " << offset;
        covered[offset] = count;
        at += count;
    }
    EXPECT_TRUE(eof);
    EXPECT_EQ(at, t.data.size()) << "bytes after the end-of-file block";
    // Merge the blocks back into ranges.
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (auto [o, n] : covered) {
        if (!merged.empty() && merged.back().first + merged.back().second == o)
            merged.back().second += n;
        else
            merged.emplace_back(o, n);
    }
    EXPECT_EQ(merged, (std::vector<std::pair<uint64_t, uint64_t>>{
                          {0, 100}, {1048576 - 10, 1048576 + 20}, {3 * 1048576, 500}}));
}

TEST_F(BackendTest, UploadReplacesTheFileAtomicallyAndOnlyWhenComplete)
{
    Client c;
    open_mapped(c);
    std::string data = numbered(2 * 1048576 + 77);
    kt::TransferResult t = c.upload("/new.txt", data, static_cast<int64_t>(data.size()));
    ASSERT_TRUE(t.reply.ok()) << t.reply.reply_error << backend.log();
    EXPECT_TRUE(read_file(backend.root() + "/new.txt") == data);

    // Into a subdirectory.
    mkdir((backend.root() + "/sub").c_str(), 0755);
    t = c.upload("/sub/in.txt", "in a subdirectory", 17);
    ASSERT_TRUE(t.reply.ok()) << t.reply.reply_error;
    EXPECT_EQ(read_file(backend.root() + "/sub/in.txt"), "in a subdirectory");

    // Empty upload.
    t = c.upload("/zero", "", 0);
    EXPECT_TRUE(t.reply.ok()) << t.reply.reply_error;
    EXPECT_EQ(read_file(backend.root() + "/zero"), "");

    // Replace an existing file.
    write_file(backend.root() + "/old.txt", "the old contents");
    t = c.upload("/old.txt", "new", 3);
    EXPECT_TRUE(t.reply.ok()) << t.reply.reply_error;
    EXPECT_EQ(read_file(backend.root() + "/old.txt"), "new");

    // Short, long and cut uploads fail and keep the old file.
    write_file(backend.root() + "/keep.txt", "keep me");
    struct Case {
        const char *name;
        std::string data;
        int64_t announced;
        bool cut;
        const char *expect;
    } cases[] = {
        {"fewer bytes than announced", "abc", 10, false, "Received 3 of the announced 10 bytes"},
        {"more bytes than announced", "abcdefghijkl", 10, false, "More data arrived"},
        {"connection cut after all bytes", "0123456789", 10, true, "Data channel read failed"},
    };
    for (const auto &cs : cases) {
        t = c.upload("/keep.txt", cs.data, cs.announced, cs.cut);
        EXPECT_FALSE(t.reply.ok()) << cs.name;
        EXPECT_NE(t.reply.reply_error.find(cs.expect), std::string::npos)
            << cs.name << ": " << t.reply.reply_error;
        EXPECT_EQ(read_file(backend.root() + "/keep.txt"), "keep me") << cs.name;
    }
    EXPECT_EQ(listing(backend.root()),
              (std::vector<std::string>{"keep.txt", "new.txt", "old.txt", "sub", "zero"}))
        << "temporary files left behind";

    // A directory cannot be overwritten; a missing parent is reported.
    mkdir((backend.root() + "/d").c_str(), 0755);
    EXPECT_NE(c.upload("/d", "x", 1).reply.reply_error.find("Is a directory"), std::string::npos);
    EXPECT_NE(c.upload("/nodir/f", "x", 1).reply.reply_error.find("No such file"), std::string::npos);
}

TEST_F(BackendTest, PathsStayInsideTheRoot)
{
    // A secret beside the root, and links that try to reach it.
    write_file(backend.dir() + "/secret", "top secret");
    write_file(backend.root() + "/inside.txt", "inside");
    ASSERT_EQ(symlink((backend.dir() + "/secret").c_str(), (backend.root() + "/abs-link").c_str()), 0);
    ASSERT_EQ(symlink("../secret", (backend.root() + "/rel-link").c_str()), 0);
    ASSERT_EQ(symlink("..", (backend.root() + "/up").c_str()), 0);
    ASSERT_EQ(symlink("inside.txt", (backend.root() + "/ok-link").c_str()), 0);
    Client c;
    open_mapped(c);

    for (const char *p :
         {"/../secret", "/a/../../secret", "/abs-link", "/rel-link", "/up/secret", "relative"}) {
        Record r = c.stat(p);
        EXPECT_FALSE(r.ok()) << p;
        kt::TransferResult t = c.download(p, 'S', {});
        EXPECT_FALSE(t.reply.ok()) << p;
        EXPECT_EQ(t.data.find("top secret"), std::string::npos) << p;
    }
    for (const char *p : {"/../secret-w", "/up/secret-w", "/up/secret"})
        EXPECT_FALSE(c.upload(p, "x", 1).reply.ok()) << p;
    EXPECT_FALSE(c.upload("/up/secret", "overwritten", 11).reply.ok());
    EXPECT_FALSE(c.command(KALDER_GFS_CMD_DELE, "/up/secret").ok());
    EXPECT_FALSE(c.command(KALDER_GFS_CMD_MKD, "/up/evil").ok());
    EXPECT_EQ(read_file(backend.dir() + "/secret"), "top secret");
    struct stat st;
    EXPECT_NE(::stat((backend.dir() + "/evil").c_str(), &st), 0);

    // A link that stays inside the root works; "." and "//" are harmless.
    kt::TransferResult t = c.download("/ok-link", 'S', {});
    EXPECT_TRUE(t.reply.ok()) << t.reply.reply_error;
    EXPECT_EQ(t.data, "inside");
    EXPECT_TRUE(c.stat("/./inside.txt").ok());
    EXPECT_TRUE(c.stat("//inside.txt").ok());
}

// A FIFO (like a socket or a device) is not a file of the collection: a GET
// or a stat answers as for a missing file without waiting for a writer, and
// an upload neither writes through it nor replaces it.
TEST_F(BackendTest, FifosAreNeitherReadNorWrittenNorReplaced)
{
    const std::string fifo = backend.root() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    Client c;
    open_mapped(c);
    Record st = c.stat("/fifo");
    EXPECT_FALSE(st.ok());
    EXPECT_NE(st.reply_error.find("No such file or directory"), std::string::npos) << st.reply_error;
    kt::TransferResult get = c.download("/fifo", 'S', {});
    EXPECT_FALSE(get.reply.ok());
    EXPECT_NE(get.reply.reply_error.find("No such file or directory"), std::string::npos)
        << get.reply.reply_error;
    kt::TransferResult put = c.upload("/fifo", "data", 4);
    EXPECT_FALSE(put.reply.ok());
    EXPECT_NE(put.reply.reply_error.find("Not a regular file"), std::string::npos) << put.reply.reply_error;
    struct stat after;
    ASSERT_EQ(lstat(fifo.c_str(), &after), 0);
    EXPECT_TRUE(S_ISFIFO(after.st_mode));
    EXPECT_EQ(listing(backend.root()), std::vector<std::string>{"fifo"});  // no temporary file left
}

}  // namespace
