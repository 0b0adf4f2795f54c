// The two percent-escapes: form bodies for the identity service and the
// back end's session user string.
#include <gtest/gtest.h>

#include "escape.h"
#include "test_pool.h"

namespace {

TEST(Escape, EachKeepsItsOwnSetAndEscapesTheRestInLowerCaseHex)
{
    TestPool pool;
    struct Case {
        char *(*escape)(apr_pool_t *, const char *);
        const char *in;
        const char *out;
    } const cases[] = {
        // What the web server's partial path escaping keeps, the form keeps
        // too (but for '&', '=' and '+').
        {form_escape, "AZaz09$-_.!*'(),:;@/~", "AZaz09$-_.!*'(),:;@/~"},
        {form_escape, "\"#%<>?[\\]^`{|}\x7f\x01", "%22%23%25%3c%3e%3f%5b%5c%5d%5e%60%7b%7c%7d%7f%01"},
        {form_escape, "a b&c=d+e", "a%20b%26c%3dd%2be"},
        {form_escape, "", ""},
        // Query-value escaping: only ".-*_" stay, a blank is "+".
        {url_form_escape, "aZ09.-*_ ~/%+,\xC3\xA9", "aZ09.-*_+%7e%2f%25%2b%2c%c3%a9"},
        {url_form_escape, "", ""},
    };
    for (const auto &c : cases) EXPECT_STREQ(c.escape(pool, c.in), c.out) << c.in;
}

}  // namespace
