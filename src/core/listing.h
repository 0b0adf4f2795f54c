// Directory listings: the HTML page and the JSON document of a GET of a
// directory.
#ifndef KALDER_CORE_LISTING_H
#define KALDER_CORE_LISTING_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ListingEntry {
    std::string name;  // one path segment, bytes as stored
    bool is_dir;
    int64_t size;   // bytes
    int64_t mtime;  // seconds since the epoch
};

// The page for the directory at `path` (the decoded request path, ending
// in "/"): a table of the entries in the given order with relative links
// (so they work under any prefix the request came through), a link to
// "../" unless `path` is "/", and a note when `truncated` says the listing
// stopped at the cap. Markup characters are escaped; invalid UTF-8 and
// control characters are shown as U+FFFD (the links keep the stored bytes).
// Entries named "", "." or ".." are left out here and in the JSON.
std::string listing_html(std::string_view path, const std::vector<ListingEntry> &entries, bool truncated);

// {"path": PATH, "entries": [{"name", "type": "file" | "directory", "size",
// "modified": IMF-fixdate, "mtime": seconds}], "truncated": bool}, compact.
// Names that are not valid UTF-8 have U+FFFD for each bad byte. Empty only
// when memory runs out.
std::string listing_json(std::string_view path, const std::vector<ListingEntry> &entries, bool truncated);

// "1.5 KiB", "3.0 MiB", ...: one decimal in the largest binary unit that
// keeps the number at least 1; "N bytes" below 1024.
std::string human_size(int64_t bytes);

#endif
