// Directory listings: hostile names stay text in the page and valid in the
// JSON, links stay relative and inside their segment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "listing.h"

namespace {

constexpr int64_t sunday = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

TEST(Listing, HtmlRowsEscapeNamesAndLinkRelativelyPerSegment)
{
    const struct {
        ListingEntry entry;
        std::string row;  // the table row the entry makes
    } cases[] = {
        {{"plain.txt", false, 1536, sunday},
         "<tr><td><a href=\"plain.txt\">plain.txt</a></td><td class=\"size\">1536 <span "
         "class=\"human\">(1.5 KiB)</span></td><td>Sun, 06 Nov 1994 08:49:37 GMT</td></tr>\n"},
        {{"sub dir", true, 4096, 0},
         "<tr><td><a href=\"sub%20dir/\">sub dir/</a></td><td class=\"size\"></td><td>Thu, 01 Jan 1970 "
         "00:00:00 GMT</td></tr>\n"},
        {{"small", false, 12, 0}, "<td class=\"size\">12</td>"},
        {{"<img src=x onerror=alert(1)>", false, 0, 0},
         "<a href=\"%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E\">&lt;img src=x "
         "onerror=alert(1)&gt;</a>"},
        {{"a&b \"q\" 'x'", false, 0, 0},
         "<a href=\"a%26b%20%22q%22%20%27x%27\">a&amp;b &quot;q&quot; &#39;x&#39;</a>"},
        // A name never turns into a scheme, a query, a fragment or a parent.
        {{"javascript:alert(1)", false, 0, 0},
         "<a href=\"javascript%3Aalert%281%29\">javascript:alert(1)</a>"},
        {{"#top?x=1", false, 0, 0}, "<a href=\"%23top%3Fx%3D1\">#top?x=1</a>"},
        {{"a\\b", false, 0, 0}, "<a href=\"a%5Cb\">a\\b</a>"},
        // UTF-8 is kept; bad bytes and control characters show as U+FFFD
        // while the link keeps the stored bytes.
        {{"\xC3\xA9t\xC3\xA9", false, 0, 0}, "<a href=\"%C3%A9t%C3%A9\">\xC3\xA9t\xC3\xA9</a>"},
        {{"bad\xFF\xC3", false, 0, 0}, "<a href=\"bad%FF%C3\">bad\xEF\xBF\xBD\xEF\xBF\xBD</a>"},
        {{"\xED\xA0\x80", false, 0, 0}, "<a href=\"%ED%A0%80\">\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD</a>"},
        {{"tab\tnew\nline", false, 0, 0},
         "<a href=\"tab%09new%0Aline\">tab\xEF\xBF\xBDnew\xEF\xBF\xBDline</a>"},
    };
    for (const auto &c : cases) {
        const std::string page = listing_html("/d/", {c.entry}, false);
        EXPECT_NE(page.find(c.row), std::string::npos) << c.entry.name << "\n" << page;
        EXPECT_EQ(page.find("<img"), std::string::npos) << c.entry.name;
    }
    // Names that would link to the directory itself or its parent are no
    // entries' names; they are left out.
    for (const char *name : {"", ".", ".."}) {
        const std::vector<ListingEntry> one{{name, true, 0, 0}};
        EXPECT_NE(listing_html("/", one, false).find("This directory is empty."), std::string::npos) << name;
        EXPECT_EQ(listing_json("/", one, false), "{\"path\":\"/\",\"entries\":[],\"truncated\":false}")
            << name;
    }
}

TEST(Listing, HtmlPageHasItsFramePathParentLinkAndCapNote)
{
    const std::vector<ListingEntry> two{{"a", false, 1, 0}, {"b", true, 0, 0}};
    const struct {
        std::string path;
        std::vector<ListingEntry> entries;
        bool truncated;
        std::vector<std::string> present, absent;
    } cases[] = {
        {"/x<y>&z/",
         two,
         false,
         {"<!DOCTYPE html>\n<html lang=\"en\">", "<meta charset=\"utf-8\">",
          "<title>Index of /x&lt;y&gt;&amp;z/</title>", "<h1>Index of /x&lt;y&gt;&amp;z/</h1>",
          "<caption>Files and directories in /x&lt;y&gt;&amp;z/</caption>",
          "<th scope=\"col\">Name</th><th scope=\"col\" class=\"size\">Size</th><th scope=\"col\">Last "
          "modified</th>",
          "<a href=\"../\">Parent directory</a>", "<style>", "</html>\n"},
         {"Showing the first", "<x", "This directory is empty."}},
        {"/", two, true, {"<p>Showing the first 2 entries.</p>"}, {"Parent directory"}},
        {"/e/", {}, false, {"This directory is empty.", "Parent directory"}, {"Showing"}},
    };
    for (const auto &c : cases) {
        const std::string page = listing_html(c.path, c.entries, c.truncated);
        for (const auto &p : c.present) EXPECT_NE(page.find(p), std::string::npos) << c.path << ": " << p;
        for (const auto &a : c.absent) EXPECT_EQ(page.find(a), std::string::npos) << c.path << ": " << a;
        // Nothing is loaded from elsewhere.
        for (const char *outside : {"<link", "<script", "src=", "url(", "//"})
            EXPECT_EQ(page.find(outside), std::string::npos) << c.path << ": " << outside;
    }
}

TEST(Listing, HumanSizesUseBinaryUnitsWithOneDecimal)
{
    const struct {
        int64_t bytes;
        const char *text;
    } cases[] = {
        {0, "0 bytes"},    {1, "1 byte"},        {1023, "1023 bytes"},   {1024, "1.0 KiB"},
        {1536, "1.5 KiB"}, {1048575, "1.0 MiB"}, {5LL << 30, "5.0 GiB"}, {INT64_MAX, "8.0 EiB"},
    };
    for (const auto &c : cases) EXPECT_EQ(human_size(c.bytes), c.text) << c.bytes;
}

TEST(Listing, JsonEscapesControlCharactersAndReplacesInvalidUtf8)
{
    const std::vector<ListingEntry> entries{
        {"q\"b\\s/\x01\n\x7f", false, 5, sunday},
        {"\xC3\xA9", true, 4096, 0},
        {"bad\xFF\xC3", false, INT64_MAX, -1},
    };
    EXPECT_EQ(listing_json("/d\xFF/", entries, true),
              "{\"path\":\"/d\xEF\xBF\xBD/\",\"entries\":["
              "{\"name\":\"q\\\"b\\\\s/\\u0001\\n\x7f\",\"type\":\"file\",\"size\":5,"
              "\"modified\":\"Sun, 06 Nov 1994 08:49:37 GMT\",\"mtime\":784111777},"
              "{\"name\":\"\xC3\xA9\",\"type\":\"directory\",\"size\":4096,"
              "\"modified\":\"Thu, 01 Jan 1970 00:00:00 GMT\",\"mtime\":0},"
              "{\"name\":\"bad\xEF\xBF\xBD\xEF\xBF\xBD\",\"type\":\"file\",\"size\":9223372036854775807,"
              "\"modified\":\"Thu, 01 Jan 1970 00:00:00 GMT\",\"mtime\":-1}],"
              "\"truncated\":true}");
    EXPECT_EQ(listing_json("/", {}, false), "{\"path\":\"/\",\"entries\":[],\"truncated\":false}");
}

}  // namespace
