// Typed access to members of service answers.
#include <gtest/gtest.h>

#include "core_fakes.h"
#include "json_access.h"
#include "log_capture.h"

namespace {

kalder::JsonPtr parse(const char *text)
{
    kalder::JsonPtr json(json_from_text(text));
    EXPECT_TRUE(json) << text;
    return json;
}

class JsonAccess : public ::testing::Test {
   protected:
    Pool pool;
    LogCapture log;
};

TEST_F(JsonAccess, StringsAreCopiedIntoTheRequestPool)
{
    auto doc = parse(R"({"name": "alice@example.org", "empty": "", "number": 5})");
    const char *out = nullptr;
    ASSERT_EQ(json_get_string(pool, doc.get(), "name", &out, log.sink()), 0);
    const char *inside = json_string_value(json_object_get(doc.get(), "name"));
    EXPECT_STREQ(out, "alice@example.org");
    EXPECT_NE(out, inside) << "must be a copy that outlives the JSON document";

    ASSERT_EQ(json_get_string(pool, doc.get(), "empty", &out, log.sink()), 0);
    EXPECT_STREQ(out, "");

    const char *untouched = "before";
    out = untouched;
    EXPECT_EQ(json_get_string(pool, doc.get(), "number", &out, log.sink()), 1);
    EXPECT_EQ(out, untouched);
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Expected field 'number' to be a JSON string")) << log.dump();
    EXPECT_EQ(json_get_string(pool, doc.get(), "absent", &out, log.sink()), 1);
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Missing JSON string field 'absent'")) << log.dump();
}

TEST_F(JsonAccess, IntegersWithAndWithoutNull)
{
    auto doc = parse(R"({"t": 1700000000, "neg": -5, "null": null, "real": 1.5, "text": "12",
                         "big": 9223372036854775807})");
    int64_t v = 42;
    ASSERT_EQ(json_get_integer(doc.get(), "t", &v, false, log.sink()), 0);
    EXPECT_EQ(v, 1700000000);
    ASSERT_EQ(json_get_integer(doc.get(), "neg", &v, false, log.sink()), 0);
    EXPECT_EQ(v, -5);
    ASSERT_EQ(json_get_integer(doc.get(), "big", &v, false, log.sink()), 0);
    EXPECT_EQ(v, INT64_MAX);

    v = 42;
    ASSERT_EQ(json_get_integer(doc.get(), "null", &v, true, log.sink()), 0);
    EXPECT_EQ(v, 0);

    for (const char *name : {"null", "real", "text"}) {
        log.clear();
        v = 42;
        EXPECT_EQ(json_get_integer(doc.get(), name, &v, false, log.sink()), 1) << name;
        EXPECT_EQ(v, 42) << name;
        EXPECT_TRUE(log.has(KLOG_DEBUG, std::string("Expected field '") + name + "' to be a JSON integer"))
            << log.dump();
    }
    EXPECT_EQ(json_get_integer(doc.get(), "real", &v, true, log.sink()), 1)
        << "allow-null admits null, not reals";
    EXPECT_EQ(json_get_integer(doc.get(), "absent", &v, true, log.sink()), 1);
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Missing JSON integer field 'absent'"));
}

TEST_F(JsonAccess, Booleans)
{
    auto doc = parse(R"({"yes": true, "no": false, "text": "true", "one": 1})");
    bool b = false;
    ASSERT_EQ(json_get_boolean(doc.get(), "yes", &b, log.sink()), 0);
    EXPECT_TRUE(b);
    ASSERT_EQ(json_get_boolean(doc.get(), "no", &b, log.sink()), 0);
    EXPECT_FALSE(b);
    EXPECT_EQ(json_get_boolean(doc.get(), "text", &b, log.sink()), 1);
    EXPECT_EQ(json_get_boolean(doc.get(), "one", &b, log.sink()), 1);
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Expected field 'one' to be a JSON boolean"));
    EXPECT_EQ(json_get_boolean(doc.get(), "absent", &b, log.sink()), 1);
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Missing JSON boolean field 'absent'"));
}

TEST_F(JsonAccess, AnArrayInsteadOfAnObjectHasNoMembers)
{
    auto doc = parse(R"([{"name": "x"}])");
    const char *s = nullptr;
    int64_t i = 0;
    bool b = false;
    EXPECT_EQ(json_get_field(doc.get(), "name", log.sink()), nullptr);
    EXPECT_EQ(json_get_string(pool, doc.get(), "name", &s, log.sink()), 1);
    EXPECT_EQ(json_get_integer(doc.get(), "name", &i, true, log.sink()), 1);
    EXPECT_EQ(json_get_boolean(doc.get(), "name", &b, log.sink()), 1);
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Missing JSON field 'name'"));
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Missing JSON string field 'name'"));
    // Nothing here is louder than debug: malformed answers are quiet.
    for (const auto &line : log.lines()) EXPECT_EQ(line.level, KLOG_DEBUG) << line.text;
    EXPECT_EQ(json_get_field(nullptr, "name", log.sink()), nullptr);
}

}  // namespace
