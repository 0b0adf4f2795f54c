// Local HTTPS servers for the unit tests of the identity-service client.
//
// The module's HTTPS exchange trusts only libcurl's default CA bundle, as in
// production. To reach a server with a throwaway certificate, a test runs
// the code under test in a forked child that gets a private mount namespace
// in which the throwaway CA is bind-mounted over that bundle. The parent
// keeps its own view of the file system. Needs root (CAP_SYS_ADMIN); without
// it the tests skip and say why.
#ifndef KALDER_LOCAL_HTTPS_H
#define KALDER_LOCAL_HTTPS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "testing.h"

namespace kalder::test {

// A throwaway CA and a server certificate for 127.0.0.1 and localhost,
// made with the openssl command in a fresh temporary directory.
struct TestPki {
    std::string dir, ca, cert, key;
    // Empty on success, else what failed.
    std::string make();
    void remove();
};

// A server in a child process that prints "... https://HOST:PORT" on its
// first line of output once it listens.
class ChildServer {
   public:
    ChildServer() = default;
    ~ChildServer() { stop(); }
    ChildServer(const ChildServer &) = delete;
    ChildServer &operator=(const ChildServer &) = delete;

    // Empty on success, else what failed (waits at most timeout_ms).
    std::string start(const std::vector<std::string> &argv, int timeout_ms = 10000);
    void stop();
    int port() const { return port_; }
    std::string base_url() const { return "https://127.0.0.1:" + std::to_string(port_); }

   private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// What a function run by run_trusting returned, and what it logged.
struct Isolated {
    bool ran = false;  // false: isolation unavailable, see reason
    std::string reason;
    std::string value;
};

// Runs fn in a forked child whose libcurl default CA bundle is replaced by
// ca_file. The lines the child logs are appended to the parent's log
// capture, so logged() and count_logged() see them. fn must not use gtest
// assertions; it describes its outcome in the returned text.
Isolated run_trusting(const std::string &ca_file, const std::function<std::string()> &fn,
                      int timeout_ms = 30000);

// The source tree's root, for tools/ and scenario files.
std::string source_dir();

}  // namespace kalder::test

#endif
