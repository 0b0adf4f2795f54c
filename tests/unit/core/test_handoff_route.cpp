// The hand-off decision over described virtual hosts: which names a host
// answers to, and which Unix socket a ClientHello goes to.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "apr_strings.h"
#include "client_hello_builder.h"
#include "handoff_route.h"
#include "log_capture.h"

using kalder::test::Bytes;
using kalder::test::ClientHelloBuilder;
using namespace kalder::tls;

namespace {

struct Host {
    const char *name;
    std::vector<const char *> aliases;
    std::vector<const char *> wildcards;
    std::vector<std::pair<const char *, const char *>> sockets;  // ALPN -> path
};

class Pool {
   public:
    Pool()
    {
        apr_initialize();
        apr_pool_create(&pool_, nullptr);
    }
    ~Pool() { apr_pool_destroy(pool_); }
    apr_pool_t *get() const { return pool_; }

    apr_array_header_t *array(const std::vector<const char *> &items)
    {
        apr_array_header_t *a = apr_array_make(pool_, 2, sizeof(const char *));
        for (const char *item : items) APR_ARRAY_PUSH(a, const char *) = item;
        return a;
    }
    RouteHost host(const Host &h)
    {
        apr_table_t *t = apr_table_make(pool_, 4);
        for (const auto &[key, path] : h.sockets) apr_table_set(t, key, path);
        return RouteHost{h.name, array(h.aliases), array(h.wildcards), t};
    }

   private:
    apr_pool_t *pool_ = nullptr;
};

// The decision for this ClientHello over these hosts (configuration order).
std::string choose(const std::vector<Host> &hosts, const ClientHelloBuilder &hello, LogCapture *log = nullptr)
{
    Pool pool;
    std::vector<RouteHost> described;
    for (const Host &h : hosts) described.push_back(pool.host(h));
    HelloParse p;
    const Bytes bytes = hello.records();
    parse_client_hello(bytes.data(), bytes.size(), p, log_discard());
    if (p.outcome != HelloOutcome::CANDIDATE)
        return "(pass-through before the decision)";
    const char *path = choose_socket_path(pool.get(), HandoffRoutes{described.data(), described.size()}, p,
                                          log ? log->sink() : log_discard());
    return path ? path : "(none)";
}

ClientHelloBuilder hello(const char *sni, std::initializer_list<std::string> alpn = {})
{
    ClientHelloBuilder h;
    if (sni)
        h.sni(sni);
    if (alpn.size())
        h.alpn(alpn);
    return h;
}

}  // namespace

TEST(HandoffRoute, WildcardRuleOfServerAliases)
{
    const struct {
        const char *name, *pattern;
        bool match;
    } cases[] = {
        {"a.b.wild.test", "*.wild.test", true},
        {"wild.test", "*.wild.test", false},
        {"x.WILD.Test", "*.wild.test", true},
        {"abc", "a?c", true},
        {"ac", "a?c", false},
        {"", "*", true},
        {"abc", "a**c", true},
        {"abc", "*b", false},
        {"abcd", "abc", false},
        {"ab", "abc", false},
        {"aXbXc", "a*b*c", true},
        {"aXbX", "a*b*c", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wildcard_matches(c.name, c.pattern), c.match) << c.name << " " << c.pattern;
}

TEST(HandoffRoute, HostAnswersToItsNameAliasesAndWildcardsIgnoringCase)
{
    Pool pool;
    const RouteHost host = pool.host({"data.test", {"alias.test"}, {"*.wild.test"}, {}});
    const struct {
        const char *name;
        bool match;
    } cases[] = {
        {nullptr, true},      {"DATA.test", true},       {"Alias.Test", true}, {"a.b.WILD.test", true},
        {"wild.test", false}, {"data.test.evil", false}, {"", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(host_matches_name(c.name, host), c.match) << (c.name ? c.name : "null");
    EXPECT_FALSE(host_matches_name("x.test", RouteHost{nullptr, nullptr, nullptr, nullptr}));
}

// Each configuration (hosts in configuration order, main server first) with
// the ClientHellos tried against it.
TEST(HandoffRoute, ChoosesTheSocket)
{
    const Host main_server{"collection.example.org", {}, {}, {}};
    struct Expect {
        const char *why;
        ClientHelloBuilder hello;
        const char *path;
    };
    const struct {
        std::vector<Host> hosts;
        std::vector<Expect> expect;
    } configurations[] = {
        {{main_server, {"collection.test", {}, {}, {{"http/1.1", "/run/h1.sock"}}}},
         {{"the second offered protocol, when only it is mapped",
           hello("collection.test", {"h2", "http/1.1"}), "/run/h1.sock"},
          {"without ALPN only the wildcard entry counts", hello("collection.test"), "(none)"}}},
        {{main_server, {"collection.test", {}, {}, {{"http/1.1", "/run/h1.sock"}, {"*", "/run/any.sock"}}}},
         {{"without ALPN the wildcard entry", hello("collection.test"), "/run/any.sock"}}},
        {{main_server,
          {"a.test", {}, {}, {{"x", "/run/a.sock"}}},
          {"b.test", {}, {}, {{"y", "/run/b.sock"}}}},
         {{"another host's table is not searched for a known name", hello("a.test", {"y"}), "(none)"},
          {"an unknown name searches every table", hello("nobody.test", {"y"}), "/run/b.sock"},
          {"a name with a NUL byte is nobody's", hello(nullptr).sni(std::string("a.test\0x", 8)).alpn({"y"}),
           "/run/b.sock"}}},
        {{{"collection.example.org", {}, {}, {{"*", "/run/main-any.sock"}}},
          {"a.test", {}, {}, {{"h2", "/run/a-h2.sock"}}}},
         {{"the main server's wildcard comes first", hello(nullptr, {"h2"}), "/run/main-any.sock"},
          {"the main server does not answer to a virtual host's name", hello("a.test", {"h2"}),
           "/run/a-h2.sock"}}},
        {{main_server,
          {"first.test", {}, {}, {{"acme-tls/1", "/run/first-exact.sock"}}},
          {"second.test", {}, {}, {{"*", "/run/second-any.sock"}}}},
         {{"an earlier exact entry beats a later wildcard", hello(nullptr, {"acme-tls/1"}),
           "/run/first-exact.sock"},
          {"... for an unknown name too", hello("nobody.test", {"acme-tls/1"}), "/run/first-exact.sock"}}},
        {{main_server,
          {"first.test", {}, {}, {{"*", "/run/first-any.sock"}}},
          {"second.test", {"other.test"}, {}, {{"acme-tls/1", "/run/second-exact.sock"}}}},
         {{"an earlier wildcard beats a later exact entry", hello(nullptr, {"acme-tls/1"}),
           "/run/first-any.sock"},
          {"a known name keeps to its own host", hello("second.test", {"acme-tls/1"}),
           "/run/second-exact.sock"},
          {"an alias selects its host", hello("OTHER.test", {"acme-tls/1"}), "/run/second-exact.sock"}}},
        {{main_server, {"a.test", {}, {}, {{"h2", "/run/h2.sock"}, {"http/1.1", "/run/h1.sock"}}}},
         {{"the client's protocol order decides", hello("a.test", {"http/1.1", "h2"}), "/run/h1.sock"}}},
    };
    for (const auto &c : configurations)
        for (const auto &e : c.expect) EXPECT_EQ(choose(c.hosts, e.hello), e.path) << e.why;
}

TEST(HandoffRoute, MalformedAlpnListsPassThrough)
{
    const std::vector<Host> hosts{{"collection.example.org", {}, {}, {{"*", "/run/any.sock"}}}};
    for (const Bytes &alpn : {Bytes{0, 0}, Bytes{0, 0, 0}, Bytes{0, 4, 5, 'a', 'b', 'c'}, Bytes{0, 2, 1}}) {
        ClientHelloBuilder h;
        h.ext(16, alpn);
        EXPECT_EQ(choose(hosts, h), "(none)") << alpn.size();
    }
}

TEST(HandoffRoute, EachProtocolTriedIsLoggedAtDebug)
{
    LogCapture log;
    const std::vector<Host> hosts{{"collection.test", {}, {}, {{"http/1.1", "/run/h1.sock"}}}};
    ASSERT_EQ(choose(hosts, hello("collection.test", {"h2", std::string("a\x01", 2), "http/1.1", "x"}), &log),
              "/run/h1.sock");
    std::vector<std::string> lines;
    for (const auto &l : log.lines()) {
        EXPECT_EQ(l.level, KLOG_DEBUG);
        EXPECT_EQ(l.source, "bucket_tls_peek");
        lines.push_back(l.text);
    }
    EXPECT_EQ(lines,
              (std::vector<std::string>{"Checking for alpn h2 in config", "Checking for alpn a? in config",
                                        "Checking for alpn http/1.1 in config"}));
}
