// The extended-block stream decoder: blocks in, in pieces of any size;
// part starts, data and the end of the stream out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eblock_stream.h"

namespace {

std::string header(uint8_t flags, uint64_t count, uint64_t offset)
{
    unsigned char out[KALDER_EBLOCK_HEADER_SIZE];
    kalder_eblock_encode({flags, count, offset}, out);
    return std::string(reinterpret_cast<const char *>(out), sizeof out);
}

// Decodes `stream` cut into pieces of `piece` bytes (0: in one go). Parts
// show as "[offset+count]", data as itself, the end as "<END>" or
// "<END open>"; input left unused after the end as "<unused n>".
std::string decode(const std::string &stream, size_t piece = 0)
{
    EblockStream s{};
    std::string out;
    size_t unused = 0;
    const size_t step = piece ? piece : stream.size();
    for (size_t at = 0; at < stream.size(); at += step) {
        const std::string chunk = stream.substr(at, step);
        size_t pos = 0;
        while (pos < chunk.size()) {
            EblockPiece p;
            size_t used = eblock_stream_next(&s, chunk.data() + pos, chunk.size() - pos, &p);
            if (used == 0 && p.kind == EBLOCK_NONE)
                break;
            pos += used;
            if (p.kind == EBLOCK_PART)
                out += "[" + std::to_string(p.offset) + "+" + std::to_string(p.count) + "]";
            else if (p.kind == EBLOCK_DATA)
                out.append(p.data, p.length);
            else if (p.kind == EBLOCK_END)
                out += p.complete ? "<END>" : "<END open>";
        }
        unused += chunk.size() - pos;
    }
    if (unused)
        out += "<unused " + std::to_string(unused) + ">";
    return out;
}

struct StreamCase {
    const char *name;
    std::string stream;
    std::string decoded;
};

TEST(EblockStream, DecodesAsTheTableSaysHoweverTheBytesArrive)
{
    const StreamCase cases[] = {
        {"one block", header(0, 5, 100) + "abcde" + header(0x48, 0, 1), "[100+5]abcde<END>"},
        {"several blocks",
         header(0, 3, 0) + "012" + header(0, 4, 10) + "abcd" + header(0, 2, 14) + "ef" + header(0x48, 0, 1),
         "[0+3]012[10+4]abcd[14+2]ef<END>"},
        {"empty block", header(0, 0, 7) + header(0, 1, 9) + "x" + header(0x40, 0, 0), "[7+0][9+1]x<END>"},
        // End of file with end-of-data markers still to come: the stream
        // stops, and what follows is not read.
        {"markers left", header(0, 2, 7) + "hi" + header(0x40, 0, 1) + "trailing bytes",
         "[7+2]hi<END open><unused 14>"},
        {"two markers, one here", header(0x48, 0, 2) + header(0, 1, 0) + "x", "<END open><unused 18>"},
        {"marker count already zero", header(0x48, 0, 0), "<END open>"},
        // Cut before the end-of-file block: no end.
        {"cut in a block", header(0, 10, 0) + "abc", "[0+10]abc"},
        {"cut in a header", header(0, 3, 0) + "abc" + header(0x48, 0, 1).substr(0, 9), "[0+3]abc"},
    };
    for (const auto &c : cases) {
        for (size_t piece : {0, 1, 2, 5, 16, 17, 18, 33}) {
            std::string got = decode(c.stream, piece);
            // Data pieces are cut where the input is; compare the joined text.
            EXPECT_EQ(got, c.decoded) << c.name << ", pieces of " << piece;
        }
    }
}

TEST(EblockStream, DataPiecesPointIntoTheInputAndNeverPassTheBlock)
{
    const std::string stream = header(0, 4, 0) + "abcd" + header(0, 2, 8) + "ef";
    EblockStream s{};
    EblockPiece p;
    size_t pos = eblock_stream_next(&s, stream.data(), stream.size(), &p);
    ASSERT_EQ(p.kind, EBLOCK_PART);
    pos += eblock_stream_next(&s, stream.data() + pos, stream.size() - pos, &p);
    ASSERT_EQ(p.kind, EBLOCK_DATA);
    EXPECT_EQ(p.data, stream.data() + KALDER_EBLOCK_HEADER_SIZE);
    EXPECT_EQ(p.length, 4u);
    eblock_stream_next(&s, stream.data() + pos, stream.size() - pos, &p);
    EXPECT_EQ(p.kind, EBLOCK_PART);
    EXPECT_EQ(p.offset, 8u);
}

}  // namespace
