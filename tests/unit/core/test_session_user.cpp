// The session user strings of the back end and the guest path restriction.
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "server_config.h"
#include "session_user.h"
#include "test_pool.h"

namespace {

constexpr const char *kCollection = "5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11";
constexpr const char *kSubs = "11111111-aaaa-4aaa-8aaa-111111111111,22222222-bbbb-4bbb-8bbb-222222222222";

struct SessionUserCase {
    const char *name;
    const char *type;
    bool high_assurance;
    bool authenticated;
    bool entries;  // the access list has entries
    const char *user;
    const char *restrict_paths;  // null: none
};

TEST(SessionUser, StringsAsTheTableSays)
{
    Identity alice{"11111111-aaaa-4aaa-8aaa-111111111111", "alice@example.org", 0};
    Identity bob{"22222222-bbbb-4bbb-8bbb-222222222222", "bob smith@example.edu", 0};
    Identity *both[3] = {&alice, &bob, nullptr};
    AclEntry read_a{"/a/", "r"};
    AclEntry write_b{"/b/", "rw"};
    AclEntry *entries[3] = {&read_a, &write_b, nullptr};
    AclEntry *none[1] = {nullptr};

    const SessionUserCase cases[] = {
        // A mapped collection lists every sub and every escaped name.
        {"mapped", MAPPED_COLLECTION, false, true, true,
         ":kalder-mapped-collection:ENDPOINT_ID=5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11;"
         "IDENTITY_IDS=11111111-aaaa-4aaa-8aaa-111111111111,22222222-bbbb-4bbb-8bbb-222222222222;"
         "IDENTITY_NAMES=alice%40example.org%2cbob+smith%40example.edu;HIGH_ASSURANCE=0;",
         nullptr},
        {"mapped anonymous", MAPPED_COLLECTION, true, false, true,
         ":kalder-mapped-collection:ENDPOINT_ID=5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11;IDENTITY_IDS=;"
         "IDENTITY_NAMES=;HIGH_ASSURANCE=1;",
         nullptr},
        {"no type is mapped", nullptr, false, false, true,
         ":kalder-mapped-collection:ENDPOINT_ID=5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11;IDENTITY_IDS=;"
         "IDENTITY_NAMES=;HIGH_ASSURANCE=0;",
         nullptr},
        // A guest collection shares under the first identity, restricted to
        // its access list.
        {"guest", GUEST_COLLECTION, false, true, true,
         ":kalder-sharing:ID=9c4e7e0a-1d2b-4c3d-8e4f-5a6b7c8d9e0f;SHAREE=alice@example.org;"
         "SHAREE_IDS=11111111-aaaa-4aaa-8aaa-111111111111,22222222-bbbb-4bbb-8bbb-222222222222;"
         "HIGH_ASSURANCE=0;",
         "r/a/,rw/b/"},
        // Anonymous guests use the anonymous sharee; an empty access list an
        // empty (not a missing) restriction.
        {"guest anonymous", GUEST_COLLECTION, true, false, false,
         ":kalder-sharing:ID=9c4e7e0a-1d2b-4c3d-8e4f-5a6b7c8d9e0f;SHAREE=:ANONYMOUS:;"
         "SHAREE_IDS=00000000-0000-0000-0000-000000000000;HIGH_ASSURANCE=1;",
         ""},
    };
    for (const auto &c : cases) {
        TestPool pool;
        AclDoc acls{"access_list", "9c4e7e0a-1d2b-4c3d-8e4f-5a6b7c8d9e0f", c.entries ? entries : none};
        SessionUserInput in{};
        in.collection_id = kCollection;
        in.collection_type = c.type;
        in.uri = "/f";
        in.high_assurance = c.high_assurance;
        in.authenticated = c.authenticated;
        in.set = c.authenticated ? both : nullptr;
        in.ids = c.authenticated ? kSubs : "";
        in.names = c.authenticated ? "alice@example.org,bob smith@example.edu" : "";
        in.acls = &acls;
        LogCapture log;
        SessionUser out;
        ASSERT_EQ(session_user_build(pool, in, log.sink(), &out), 0) << c.name << log.dump();
        EXPECT_STREQ(out.user, c.user) << c.name;
        if (c.restrict_paths)
            EXPECT_STREQ(out.restrict_paths, c.restrict_paths) << c.name;
        else
            EXPECT_EQ(out.restrict_paths, nullptr) << c.name;
        EXPECT_TRUE(log.lines().empty()) << c.name;
    }
}

TEST(SessionUser, GuestWithoutAccessListIsALoggedFailure)
{
    TestPool pool;
    Identity alice{"11111111-aaaa-4aaa-8aaa-111111111111", "alice@example.org", 0};
    Identity *one[2] = {&alice, nullptr};
    SessionUserInput in{};
    in.collection_id = kCollection;
    in.collection_type = GUEST_COLLECTION;
    in.uri = "/x/y";
    in.authenticated = true;
    in.set = one;
    in.ids = alice.sub;
    in.names = alice.username;
    LogCapture log;
    SessionUser out;
    EXPECT_EQ(session_user_build(pool, in, log.sink(), &out), 1);
    EXPECT_EQ(out.user, nullptr);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].source, "handler");
    EXPECT_EQ(log.lines()[0].level, KLOG_ERR);
    EXPECT_EQ(log.lines()[0].text,
              "Missing value for ACL in request for /x/y on collection 5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11");

    AclDoc no_data{"access_list", "s", nullptr};
    EXPECT_STREQ(handler_restrict_paths(pool, &no_data), "");
    EXPECT_STREQ(handler_restrict_paths(pool, nullptr), "");
}

}  // namespace
