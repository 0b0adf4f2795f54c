// MODE_E_FILTER: extended blocks in, plain or multipart/byteranges body out
// (the framing itself is the core's eblock_stream).
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "apr_strings.h"
#include "content_handler.h"
#include "handler.h"
#include "http_protocol.h"
#include "testing.h"

using kalder::test::TestRequest;
using kalder::test::TestServer;

namespace {

std::string header(uint8_t flags, uint64_t count, uint64_t offset)
{
    unsigned char out[KALDER_EBLOCK_HEADER_SIZE];
    kalder_eblock_encode({flags, count, offset}, out);
    return std::string(reinterpret_cast<const char *>(out), sizeof out);
}

struct ModeE : ::testing::Test {
    TestServer srv;
    TestRequest req{srv, "GET", "/f.txt"};
    ModeEFilterCtx *ctx = nullptr;
    ap_filter_t filter{};
    ap_filter_t next{};
    apr_bucket_brigade *out = nullptr;
    std::deque<std::string> inputs;  // owns the bytes of the immortal input buckets (stable)

    void SetUp() override
    {
        request_rec *r = req.get();
        ctx = static_cast<ModeEFilterCtx *>(apr_pcalloc(r->pool, sizeof(ModeEFilterCtx)));
        ctx->brigade = apr_brigade_create(r->pool, r->connection->bucket_alloc);
        ctx->read_mode = 1;
        ctx->size = 1000;  // the file the parts come from
        out = apr_brigade_create(r->pool, r->connection->bucket_alloc);
        next.ctx = out;
        filter.ctx = ctx;
        filter.r = r;
        filter.c = r->connection;
        filter.next = &next;
    }

    void multipart(const char *boundary, const char *type)
    {
        ctx->boundary = boundary;
        ctx->part_type = type;
    }

    // Feeds the pieces as one brigade of immortal buckets (plus an EOS when
    // asked); returns the filter's status.
    apr_status_t feed(const std::vector<std::string> &pieces, bool eos = false)
    {
        apr_bucket_brigade *bb = apr_brigade_create(req->pool, req->connection->bucket_alloc);
        for (const auto &p : pieces) {
            inputs.push_back(p);
            APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_immortal_create(inputs.back().data(), inputs.back().size(),
                                                                   req->connection->bucket_alloc));
        }
        if (eos)
            APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(req->connection->bucket_alloc));
        return mode_e_filter(&filter, bb);
    }

    // The body passed on so far; metadata buckets show as <EOS>, <ERROR nnn>, <FLUSH>.
    std::string body()
    {
        std::string s;
        for (apr_bucket *b = APR_BRIGADE_FIRST(out); b != APR_BRIGADE_SENTINEL(out); b = APR_BUCKET_NEXT(b)) {
            if (APR_BUCKET_IS_EOS(b)) {
                s += "<EOS>";
            } else if (APR_BUCKET_IS_FLUSH(b)) {
                s += "<FLUSH>";
            } else if (std::string(b->type->name) == "ERROR") {
                s += "<ERROR " + std::to_string(static_cast<ap_bucket_error *>(b->data)->status) + ">";
            } else {
                const char *data = nullptr;
                apr_size_t len = 0;
                EXPECT_EQ(apr_bucket_read(b, &data, &len, APR_BLOCK_READ), APR_SUCCESS);
                s.append(data, len);
            }
        }
        return s;
    }
};

const std::string kMultipart =
    "\r\n--B\r\nContent-Type: text/plain\r\nContent-Range: bytes 100-104/1000\r\n\r\nabcde\r\n--B--\r\n<EOS>";

TEST_F(ModeE, OneBlockBecomesOnePartWithClosingDelimiter)
{
    multipart("B", "text/plain");
    EXPECT_EQ(feed({header(0, 5, 100) + "abcde" + header(0x48, 0, 1)}), APR_SUCCESS);
    EXPECT_EQ(body(), kMultipart);
}

TEST_F(ModeE, SingleRangeGivesOnlyTheBytesAndEndsTheBody)
{
    EXPECT_EQ(feed({header(0, 5, 100) + "abcde" + header(0x48, 0, 1)}), APR_SUCCESS);
    // The end-of-stream bucket lets a kept-alive connection finish the
    // response; without it the body was left open.
    EXPECT_EQ(body(), "abcde<EOS>");
    // The handler's own end of stream later is consumed without output.
    EXPECT_EQ(feed({}, true), APR_SUCCESS);
    EXPECT_EQ(body(), "abcde<EOS>");
}

TEST_F(ModeE, BlocksSplitAcrossCallsAndSeveralBlocksPerBucket)
{
    multipart("XYZ", "None");
    std::string stream =
        header(0, 3, 0) + "012" + header(0, 4, 10) + "abcd" + header(0, 2, 14) + "ef" + header(0x48, 0, 1);
    EXPECT_EQ(feed({stream.substr(0, 20)}), APR_SUCCESS);
    EXPECT_EQ(feed({stream.substr(20, 9), stream.substr(29)}), APR_SUCCESS);
    EXPECT_EQ(body(),
              "\r\n--XYZ\r\nContent-Type: None\r\nContent-Range: bytes 0-2/1000\r\n\r\n012"
              "\r\n--XYZ\r\nContent-Type: None\r\nContent-Range: bytes 10-13/1000\r\n\r\nabcd"
              "\r\n--XYZ\r\nContent-Type: None\r\nContent-Range: bytes 14-15/1000\r\n\r\nef"
              "\r\n--XYZ--\r\n<EOS>");
}

TEST_F(ModeE, EndOfFileWithMarkersLeftStopsWithoutClosing)
{
    multipart("B", "text/plain");
    EXPECT_EQ(feed({header(0, 2, 7) + "hi" + header(0x40, 0, 1), "trailing bytes are not read"}),
              APR_SUCCESS);
    EXPECT_EQ(body(), "\r\n--B\r\nContent-Type: text/plain\r\nContent-Range: bytes 7-8/1000\r\n\r\nhi");
    EXPECT_EQ(feed({header(0, 1, 0) + "x"}, true), APR_SUCCESS);
    EXPECT_EQ(body(), "\r\n--B\r\nContent-Type: text/plain\r\nContent-Range: bytes 7-8/1000\r\n\r\nhi");
}

TEST_F(ModeE, StreamCutBeforeItsEndMarksTheResponseBroken)
{
    // Half a block, then the end of the stream: the client must not see a
    // complete response.
    EXPECT_EQ(feed({header(0, 10, 0) + "abc"}, true), APR_SUCCESS);
    EXPECT_EQ(body(), "abc<ERROR 502><EOS>");
}

}  // namespace
