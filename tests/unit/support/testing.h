// Test support: a stand-in for the few server functions the module calls,
// a capture of every log line, and a request built from APR pools.
#ifndef KALDER_TESTING_H
#define KALDER_TESTING_H

#include <string>
#include <vector>

#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "config.h"
#include "module.h"
#include "server_config.h"

namespace kalder::test {

struct LogLine {
    std::string source;  // the module's source file name without extension
    int level;           // APLOG_ERR, APLOG_WARNING, APLOG_DEBUG, ...
    std::string message;
};

// Every line the module logged since the last clear().
std::vector<LogLine> &log_lines();
void clear_log();
// True when a line with exactly this level and text was logged.
bool logged(int level, const std::string &message);
// Number of lines logged with this exact text, at any level.
int count_logged(const std::string &message);
std::string dump_log();

// A server record with the module's configuration slot, as the server
// would build it for a virtual host. Owns its pool.
class TestServer {
   public:
    TestServer();
    ~TestServer();
    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    apr_pool_t *pool() const { return pool_; }
    server_rec *server() { return &server_; }
    ServerConfig *config() { return config_; }

   private:
    apr_pool_t *pool_ = nullptr;
    process_rec process_{};
    server_rec server_{};
    ServerConfig *config_ = nullptr;
};

// A request on a TestServer, with its own pool and tables.
class TestRequest {
   public:
    explicit TestRequest(TestServer &server, const char *method = "GET", const char *uri = "/");
    ~TestRequest();
    TestRequest(const TestRequest &) = delete;
    TestRequest &operator=(const TestRequest &) = delete;

    request_rec *get() { return &request_; }
    request_rec *operator->() { return &request_; }
    operator request_rec *() { return &request_; }
    void header(const char *name, const char *value);

   private:
    apr_pool_t *pool_ = nullptr;
    conn_rec connection_{};
    request_rec request_{};
};

}  // namespace kalder::test

#endif
