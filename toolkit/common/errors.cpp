// Error objects behind result codes: a bounded table keyed by a 31-bit id.
// A code names its entry; the texts are copied out on every use, so a code
// stays safe to describe even after its entry has been evicted.
#include "kalder_common.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

struct ErrorEntry {
    std::string module;
    std::string text;
    int type;
};

constexpr size_t kMaxEntries = 65536;

struct ErrorTable {
    std::mutex lock;  // guards everything below
    std::unordered_map<uint32_t, ErrorEntry> entries;
    std::deque<uint32_t> order;  // oldest first, for eviction
    uint32_t next = 1;
};

ErrorTable &table()
{
    static ErrorTable *t = new ErrorTable;  // never destroyed: codes may be described during exit
    return *t;
}

bool lookup(kalder_result_t result, ErrorEntry *out)
{
    if (result == KALDER_SUCCESS)
        return false;
    ErrorTable &t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.entries.find(static_cast<uint32_t>(result));
    if (it == t.entries.end())
        return false;
    *out = it->second;
    return true;
}

char *dup_string(const std::string &s)
{
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    if (p)
        std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

}  // namespace

kalder_result_t kalder_error_put(const char *module, int type, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    kalder_result_t r = kalder_error_vput(module, type, fmt, ap);
    va_end(ap);
    return r;
}

kalder_result_t kalder_error_vput(const char *module, int type, const char *fmt, va_list ap)
{
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, fmt, ap);

    ErrorTable &t = table();
    std::lock_guard<std::mutex> g(t.lock);
    uint32_t id = t.next;
    t.next = (t.next >= 0x7fffffffu) ? 1 : t.next + 1;
    if (t.entries.count(id)) {  // only after the id space wrapped
        t.entries.erase(id);
    }
    while (t.order.size() >= kMaxEntries) {
        t.entries.erase(t.order.front());
        t.order.pop_front();
    }
    t.entries[id] = ErrorEntry{module ? module : "kalder", buf, type};
    t.order.push_back(id);
    return id;
}

kalder_object_t *kalder_error_peek(kalder_result_t result)
{
    // The "object" is the code itself: describing it looks the entry up.
    return result == KALDER_SUCCESS ? nullptr : reinterpret_cast<kalder_object_t *>(result);
}

char *kalder_error_print_friendly(kalder_object_t *error)
{
    if (!error)
        return nullptr;
    ErrorEntry e;
    if (!lookup(reinterpret_cast<kalder_result_t>(error), &e))
        return dup_string("Unknown error\n");
    std::string s = e.module + ": " + e.text;
    if (s.empty() || s.back() != '\n')
        s += '\n';
    return dup_string(s);
}

int kalder_error_type(kalder_result_t result)
{
    if (result == KALDER_SUCCESS)
        return 0;
    ErrorEntry e;
    return lookup(result, &e) ? e.type : KALDER_ERROR_GENERIC;
}

char *kalder_error_text(kalder_result_t result)
{
    if (result == KALDER_SUCCESS)
        return nullptr;
    ErrorEntry e;
    return dup_string(lookup(result, &e) ? e.text : std::string("Unknown error"));
}

std::string kalder_error_describe(std::string_view prefix, kalder_result_t result)
{
    std::string out(prefix);
    char *text = kalder_error_text(result);
    out += text ? text : "?";
    std::free(text);
    return out;
}
