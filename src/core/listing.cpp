// Directory listings as HTML and JSON.
#include "listing.h"

#include <cstdio>

#include "json_access.h"
#include "utf8.h"
#include "validators.h"

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";  // U+FFFD

// The text as valid UTF-8: each byte that starts no valid sequence becomes
// U+FFFD; so does each control character when `controls` is set.
std::string valid_utf8(std::string_view s, bool controls)
{
    std::string out;
    out.reserve(s.size());
    while (!s.empty()) {
        const size_t n = utf8_sequence_length(s);
        const auto c = static_cast<unsigned char>(s[0]);
        if (n == 0 || (controls && (c < 0x20 || c == 0x7F))) {
            out += replacement;
            s.remove_prefix(1);
            continue;
        }
        out += s.substr(0, n);
        s.remove_prefix(n);
    }
    return out;
}

// Text for an element or a quoted attribute value.
std::string html_escape(std::string_view s)
{
    std::string out;
    for (const char c : valid_utf8(s, true)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// A path segment for a relative link: everything but the unreserved
// characters of RFC 3986 percent-encoded, so no name reads as a scheme
// ("a:b"), a query, a fragment or another segment.
std::string segment_escape(std::string_view s)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

// Readable in light and dark schemes, nothing loaded from elsewhere.
constexpr std::string_view style =
    "body{font-family:system-ui,sans-serif;line-height:1.5;max-width:60em;margin:2em auto;"
    "padding:0 1em;color:#1b1b1b;background:#fff}"
    "table{border-collapse:collapse;width:100%}"
    "caption{text-align:left;padding:.5em 0;color:#555}"
    "th,td{text-align:left;padding:.3em .8em;border-bottom:1px solid #ddd;vertical-align:top}"
    ".size{text-align:right;white-space:nowrap}"
    ".human{color:#555}"
    "a{color:#0b57d0}"
    "a:focus{outline:2px solid currentColor;outline-offset:2px}"
    "@media (prefers-color-scheme:dark){body{color:#e6e6e6;background:#121212}"
    "caption,.human{color:#aaa}th,td{border-color:#333}a{color:#8ab4f8}}";

// "", "." and ".." name no entry (the back end leaves them out) and as
// links would lead elsewhere; they are not listed.
bool listable(std::string_view name)
{
    return !name.empty() && name != "." && name != "..";
}

}  // namespace

std::string human_size(int64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static constexpr const char *units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    // Step up while the rounded figure would reach 1024 ("1024.0 KiB").
    while (value >= 1023.95 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f %s", value, units[unit]);
    return buffer;
}

std::string listing_html(std::string_view path, const std::vector<ListingEntry> &entries, bool truncated)
{
    const std::string where = html_escape(path);
    std::string page;
    page.reserve(1024 + entries.size() * 200);
    page +=
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>Index of ";
    page += where;
    page += "</title>\n<style>";
    page += style;
    page += "</style>\n</head>\n<body>\n<h1>Index of ";
    page += where;
    page += "</h1>\n";
    if (truncated) {
        page += "<p>Showing the first " + std::to_string(entries.size()) +
                (entries.size() == 1 ? " entry.</p>\n" : " entries.</p>\n");
    }
    page += "<table>\n<caption>Files and directories in ";
    page += where;
    page +=
        "</caption>\n<thead><tr><th scope=\"col\">Name</th><th scope=\"col\" class=\"size\">Size</th>"
        "<th scope=\"col\">Last modified</th></tr></thead>\n<tbody>\n";
    if (path != "/")
        page += "<tr><td><a href=\"../\">Parent directory</a></td><td></td><td></td></tr>\n";
    size_t listed = 0;
    for (const auto &e : entries) {
        if (!listable(e.name))
            continue;
        ++listed;
        const std::string slash = e.is_dir ? "/" : "";
        page += "<tr><td><a href=\"" + segment_escape(e.name) + slash + "\">" + html_escape(e.name) + slash +
                "</a></td><td class=\"size\">";
        if (!e.is_dir) {
            page += std::to_string(e.size);
            if (e.size >= 1024)
                page += " <span class=\"human\">(" + human_size(e.size) + ")</span>";
        }
        page += "</td><td>" + http_date(e.mtime) + "</td></tr>\n";
    }
    if (listed == 0)
        page += "<tr><td colspan=\"3\">This directory is empty.</td></tr>\n";
    page += "</tbody>\n</table>\n</body>\n</html>\n";
    return page;
}

std::string listing_json(std::string_view path, const std::vector<ListingEntry> &entries, bool truncated)
{
    // Jansson takes valid UTF-8 only and escapes control characters itself.
    auto text = [](std::string_view s) {
        const std::string valid = valid_utf8(s, false);
        return json_stringn(valid.data(), valid.size());
    };
    kalder::JsonPtr list(json_array());
    kalder::JsonPtr document(json_object());
    if (!list || !document)
        return {};
    for (const auto &e : entries) {
        if (!listable(e.name))
            continue;
        json_t *entry = json_object();
        if (!entry || json_array_append_new(list.get(), entry) != 0)
            return {};
        if (json_object_set_new(entry, "name", text(e.name)) != 0 ||
            json_object_set_new(entry, "type", json_string(e.is_dir ? "directory" : "file")) != 0 ||
            json_object_set_new(entry, "size", json_integer(e.size)) != 0 ||
            json_object_set_new(entry, "modified", json_string(http_date(e.mtime).c_str())) != 0 ||
            json_object_set_new(entry, "mtime", json_integer(e.mtime)) != 0)
            return {};
    }
    if (json_object_set_new(document.get(), "path", text(path)) != 0 ||
        json_object_set_new(document.get(), "entries", list.release()) != 0 ||
        json_object_set_new(document.get(), "truncated", json_boolean(truncated)) != 0)
        return {};
    kalder::MallocPtr<char> dumped(json_dumps(document.get(), JSON_COMPACT | JSON_PRESERVE_ORDER));
    return dumped ? std::string(dumped.get()) : std::string();
}
