// Range lists, error objects, the synchronisation wrappers and their guards.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "kalder_common.h"
#include "kalder_owners.h"
#include "kalder_xio.h"
#include "toolkit_testing.h"

namespace {

using Ranges = std::vector<std::pair<kalder_off_t, kalder_off_t>>;

Ranges contents(kalder_range_list_t list)
{
    Ranges out;
    for (int i = 0; i < kalder_range_list_size(list); ++i) {
        kalder_off_t off = -2, len = -2;
        EXPECT_EQ(kalder_range_list_at(list, i, &off, &len), KALDER_SUCCESS);
        out.emplace_back(off, len);
    }
    return out;
}

Ranges insert_all(const Ranges &in)
{
    kalder_range_list_t list = nullptr;
    EXPECT_EQ(kalder_range_list_init(&list), KALDER_SUCCESS);
    for (auto [o, l] : in) EXPECT_EQ(kalder_range_list_insert(list, o, l), KALDER_SUCCESS) << o << "," << l;
    Ranges out = contents(list);
    kalder_range_list_destroy(list);
    return out;
}

TEST(RangeList, KeepsOffsetOrderAndMergesOverlappingOrTouching)
{
    EXPECT_EQ(insert_all({{20, 10}, {0, 10}}), (Ranges{{0, 10}, {20, 10}}));
    // Touching: 0-9 and 10-19 become one range 0-19.
    EXPECT_EQ(insert_all({{0, 10}, {10, 10}}), (Ranges{{0, 20}}));
    EXPECT_EQ(insert_all({{10, 10}, {0, 10}}), (Ranges{{0, 20}}));
    // Overlapping, and one range bridging two others.
    EXPECT_EQ(insert_all({{0, 5}, {10, 5}, {3, 9}}), (Ranges{{0, 15}}));
    EXPECT_EQ(insert_all({{0, 5}, {10, 5}, {20, 5}, {4, 7}}), (Ranges{{0, 15}, {20, 5}}));
    // A range inside another changes nothing.
    EXPECT_EQ(insert_all({{0, 100}, {10, 5}}), (Ranges{{0, 100}}));
    // A gap of one byte is kept.
    EXPECT_EQ(insert_all({{0, 10}, {11, 10}}), (Ranges{{0, 10}, {11, 10}}));
}

TEST(RangeList, OpenEndedRangeAbsorbsEverythingAfterIt)
{
    EXPECT_EQ(insert_all({{500, -1}}), (Ranges{{500, -1}}));
    EXPECT_EQ(insert_all({{600, 10}, {1000, 5}, {500, -1}, {0, 10}}), (Ranges{{0, 10}, {500, -1}}));
    EXPECT_EQ(insert_all({{500, -1}, {490, 10}}), (Ranges{{490, -1}}));
    EXPECT_EQ(insert_all({{500, -1}, {480, 10}}), (Ranges{{480, 10}, {500, -1}}));
    EXPECT_EQ(insert_all({{0, -1}, {0, -1}}), (Ranges{{0, -1}}));
}

TEST(RangeList, RefusesBadRangesAndLeavesTheListUnchanged)
{
    kalder_range_list_t list = nullptr;
    ASSERT_EQ(kalder_range_list_init(&list), KALDER_SUCCESS);
    ASSERT_EQ(kalder_range_list_insert(list, 5, 5), KALDER_SUCCESS);
    const kalder_off_t max = std::numeric_limits<kalder_off_t>::max();
    EXPECT_NE(kalder_range_list_insert(list, -1, 5), KALDER_SUCCESS);
    EXPECT_NE(kalder_range_list_insert(list, 0, -2), KALDER_SUCCESS);
    EXPECT_NE(kalder_range_list_insert(list, max - 5, 10), KALDER_SUCCESS);  // end would overflow
    EXPECT_EQ(kalder_range_list_insert(list, 7, 0), KALDER_SUCCESS);         // empty: nothing inserted
    EXPECT_EQ(contents(list), (Ranges{{5, 5}}));
    kalder_off_t o = 42, l = 42;
    EXPECT_NE(kalder_range_list_at(list, 1, &o, &l), KALDER_SUCCESS);
    EXPECT_NE(kalder_range_list_at(list, -1, &o, &l), KALDER_SUCCESS);
    EXPECT_EQ(o, 42);
    EXPECT_EQ(kalder_range_list_size(nullptr), 0);
    kalder_range_list_destroy(list);
}

TEST(Errors, CodesDescribeThemselvesAndSuccessHasNoObject)
{
    EXPECT_EQ(kalder_error_peek(KALDER_SUCCESS), nullptr);
    EXPECT_EQ(kalder_error_print_friendly(nullptr), nullptr);
    kalder_result_t r = kalder_error_put("kalder_test", KALDER_ERROR_SYSTEM, "open of %s failed", "/x");
    ASSERT_NE(r, KALDER_SUCCESS);
    EXPECT_LE(r, 0x7fffffffu) << "codes must fit a 32-bit field";
    EXPECT_EQ(kt::error_text(r), "kalder_test: open of /x failed\n");
    // Peeking does not consume: the text is there again.
    EXPECT_EQ(kt::error_text(r), "kalder_test: open of /x failed\n");
    EXPECT_EQ(kalder_error_type(r), KALDER_ERROR_SYSTEM);
    EXPECT_FALSE(kalder_xio_error_is_eof(r));
    EXPECT_TRUE(kalder_xio_error_is_eof(kalder_error_put("m", KALDER_ERROR_EOF, "end")));
}

TEST(Errors, CodesStayDistinctAndSafeAfterEviction)
{
    kalder_result_t first = kalder_error_put("m", KALDER_ERROR_GENERIC, "first");
    for (int i = 0; i < 70000; ++i) kalder_error_put("m", KALDER_ERROR_GENERIC, "filler %d", i);
    kalder_result_t last = kalder_error_put("m", KALDER_ERROR_GENERIC, "last");
    EXPECT_NE(first, last);
    EXPECT_EQ(kt::error_text(first), "Unknown error\n");  // aged out, still safe to describe
    EXPECT_EQ(kt::error_text(last), "m: last\n");
}

TEST(Sync, TimedWaitTimesOutAndSignalWakes)
{
    kalder_mutex_t m;
    kalder_cond_t c;
    ASSERT_EQ(kalder_mutex_init(&m, nullptr), 0);
    ASSERT_EQ(kalder_cond_init(&c, nullptr), 0);
    kalder_mutex_lock(&m);
    EXPECT_EQ(kalder_cond_timedwait(&c, &m, 20), ETIMEDOUT);
    bool flag = false;
    std::thread t([&] {
        kalder_mutex_lock(&m);
        flag = true;
        kalder_cond_signal(&c);
        kalder_mutex_unlock(&m);
    });
    while (!flag) ASSERT_NE(kalder_cond_timedwait(&c, &m, 5000), ETIMEDOUT) << "signal never arrived";
    kalder_mutex_unlock(&m);
    t.join();
    kalder_cond_destroy(&c);
    kalder_mutex_destroy(&m);
}

// The scoped unlock lets another thread in for its scope only, and holds
// the lock again on an early way out too.
TEST(Sync, ScopedUnlockReleasesForItsScopeAndRelocksOnEveryExit)
{
    kalder_mutex_t m;
    ASSERT_EQ(kalder_mutex_init(&m, nullptr), 0);
    auto other_thread_can_lock = [&] {
        bool got = false;
        std::thread([&] {
            if (pthread_mutex_trylock(&m.m) == 0) {
                got = true;
                kalder_mutex_unlock(&m);
            }
        }).join();
        return got;
    };
    {
        kalder::KalderMutexLock held(m);
        EXPECT_FALSE(other_thread_can_lock());
        for (int pass = 0; pass < 2; ++pass) {
            kalder::KalderMutexUnlock open(m);
            EXPECT_TRUE(other_thread_can_lock());
            if (pass == 0)
                continue;  // leaves the scope early
        }
        EXPECT_FALSE(other_thread_can_lock());
    }
    EXPECT_TRUE(other_thread_can_lock());
    kalder_mutex_destroy(&m);
}

}  // namespace
