// Range lists: disjoint (offset, length) entries in offset order, length
// -1 meaning "to the end". Internally each entry is a half-open interval
// [start, end) with end = INT64_MAX standing for "to the end".
#include "kalder_common.h"

#include <cstdint>
#include <limits>
#include <new>
#include <vector>

namespace {
constexpr kalder_off_t kOpenEnd = std::numeric_limits<kalder_off_t>::max();
struct Interval {
    kalder_off_t start;
    kalder_off_t end;  // exclusive; kOpenEnd = to the end of the file
};
}  // namespace

struct kalder_range_list_s {
    std::vector<Interval> entries;
};

kalder_result_t kalder_range_list_init(kalder_range_list_t *list)
{
    if (!list)
        return kalder_error_put("kalder_common", KALDER_ERROR_PARAMETER, "range list init: null argument");
    *list = new (std::nothrow) kalder_range_list_s;
    if (!*list)
        return kalder_error_put("kalder_common", KALDER_ERROR_MEMORY, "range list init: out of memory");
    return KALDER_SUCCESS;
}

kalder_result_t kalder_range_list_insert(kalder_range_list_t list, kalder_off_t offset, kalder_off_t length)
{
    if (!list || offset < 0 || length < -1)
        return kalder_error_put("kalder_common", KALDER_ERROR_PARAMETER,
                                "range list insert: invalid range (offset %lld, length %lld)",
                                static_cast<long long>(offset), static_cast<long long>(length));
    if (length == 0)
        return KALDER_SUCCESS;
    kalder_off_t end;
    if (length == -1) {
        end = kOpenEnd;
    } else {
        // A closed range must end below the open-end marker.
        if (length >= kOpenEnd - offset)
            return kalder_error_put("kalder_common", KALDER_ERROR_PARAMETER,
                                    "range list insert: range end beyond 2^63-1 (offset %lld, length %lld)",
                                    static_cast<long long>(offset), static_cast<long long>(length));
        end = offset + length;
    }
    auto &v = list->entries;
    // First entry that ends at or after the new start (touching counts).
    size_t i = 0;
    while (i < v.size() && v[i].end < offset) ++i;
    // Merge every entry that begins at or before the new end.
    size_t j = i;
    kalder_off_t start = offset;
    while (j < v.size() && v[j].start <= end) {
        if (v[j].start < start)
            start = v[j].start;
        if (v[j].end > end)
            end = v[j].end;
        ++j;
    }
    try {
        v.erase(v.begin() + i, v.begin() + j);
        v.insert(v.begin() + i, Interval{start, end});
    } catch (const std::bad_alloc &) {
        return kalder_error_put("kalder_common", KALDER_ERROR_MEMORY, "range list insert: out of memory");
    }
    return KALDER_SUCCESS;
}

int kalder_range_list_size(kalder_range_list_t list)
{
    return list ? static_cast<int>(list->entries.size()) : 0;
}

kalder_result_t kalder_range_list_at(kalder_range_list_t list, int index, kalder_off_t *offset,
                                     kalder_off_t *length)
{
    if (!list || index < 0 || static_cast<size_t>(index) >= list->entries.size() || !offset || !length)
        return kalder_error_put("kalder_common", KALDER_ERROR_PARAMETER,
                                "range list at: index %d out of bounds", index);
    const Interval &e = list->entries[index];
    *offset = e.start;
    *length = e.end == kOpenEnd ? -1 : e.end - e.start;
    return KALDER_SUCCESS;
}

void kalder_range_list_clear(kalder_range_list_t list)
{
    if (list)
        list->entries.clear();
}

void kalder_range_list_destroy(kalder_range_list_t list)
{
    delete list;
}
