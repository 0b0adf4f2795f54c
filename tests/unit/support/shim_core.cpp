// Stand-ins for the server functions the module calls; the unit tests link
// the module's sources against these and APR.
#include "testing.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "apr_strings.h"
#include "http_core.h"
#include "http_main.h"
#include "http_protocol.h"
#include "config.h"
#include "module.h"
#include "server_config.h"

server_rec *ap_server_conf;

namespace kalder::test {

namespace {

std::mutex log_mutex;

struct ModuleIndex {
    ModuleIndex()
    {
        kalder_module.module_index = 0;
        apr_initialize();
    }
} module_index_init;

void capture(const char *file, int level, const char *fmt, va_list ap)
{
    char buffer[8192];
    std::vsnprintf(buffer, sizeof buffer, fmt, ap);
    std::lock_guard<std::mutex> lock(log_mutex);
    log_lines().push_back({file ? file : "", level & APLOG_LEVELMASK, buffer});
}

}  // namespace

std::vector<LogLine> &log_lines()
{
    static std::vector<LogLine> lines;
    return lines;
}

void clear_log()
{
    std::lock_guard<std::mutex> lock(log_mutex);
    log_lines().clear();
}

bool logged(int level, const std::string &message)
{
    std::lock_guard<std::mutex> lock(log_mutex);
    for (const auto &line : log_lines())
        if (line.level == level && line.message == message)
            return true;
    return false;
}

int count_logged(const std::string &message)
{
    std::lock_guard<std::mutex> lock(log_mutex);
    int n = 0;
    for (const auto &line : log_lines()) n += line.message == message;
    return n;
}

std::string dump_log()
{
    std::lock_guard<std::mutex> lock(log_mutex);
    std::string out;
    for (const auto &line : log_lines())
        out += "[" + line.source + ":" + std::to_string(line.level) + "] " + line.message + "\n";
    return out;
}

TestServer::TestServer()
{
    apr_pool_create(&pool_, nullptr);
    process_.pool = pool_;
    process_.pconf = pool_;
    server_.process = &process_;
    server_.server_hostname = apr_pstrdup(pool_, "collection.example.org");
    server_.log.level = APLOG_TRACE8;
    server_.log.module_levels = nullptr;
    server_.timeout = apr_time_from_sec(60);
    auto **vector = static_cast<void **>(apr_pcalloc(pool_, sizeof(void *)));
    server_.module_config = reinterpret_cast<ap_conf_vector_t *>(vector);
    config_ = static_cast<ServerConfig *>(mod_kalder_create_server_config(pool_, &server_));
    vector[0] = config_;
    ap_server_conf = &server_;
}

TestServer::~TestServer()
{
    if (ap_server_conf == &server_)
        ap_server_conf = nullptr;
    apr_pool_destroy(pool_);
}

TestRequest::TestRequest(TestServer &server, const char *method, const char *uri)
{
    apr_pool_create(&pool_, server.pool());
    connection_.pool = pool_;
    connection_.base_server = server.server();
    connection_.bucket_alloc = apr_bucket_alloc_create(pool_);
    connection_.log = &server.server()->log;
    request_.pool = pool_;
    request_.connection = &connection_;
    request_.server = server.server();
    request_.method = apr_pstrdup(pool_, method);
    request_.uri = apr_pstrdup(pool_, uri);
    request_.unparsed_uri = apr_pstrdup(pool_, uri);
    request_.headers_in = apr_table_make(pool_, 8);
    request_.headers_out = apr_table_make(pool_, 8);
    request_.err_headers_out = apr_table_make(pool_, 8);
    request_.subprocess_env = apr_table_make(pool_, 8);
    request_.notes = apr_table_make(pool_, 8);
    request_.status = HTTP_OK;
    request_.log = &server.server()->log;
    request_.request_time = apr_time_now();
    auto **vector = static_cast<void **>(apr_pcalloc(pool_, sizeof(void *)));
    request_.request_config = reinterpret_cast<ap_conf_vector_t *>(vector);
}

TestRequest::~TestRequest()
{
    apr_pool_destroy(pool_);
}

void TestRequest::header(const char *name, const char *value)
{
    apr_table_set(request_.headers_in, name, value);
}

}  // namespace kalder::test

// --- logging ---------------------------------------------------------------

void ap_log_error_(const char *file, int, int, int level, apr_status_t, const server_rec *, const char *fmt,
                   ...)
{
    va_list ap;
    va_start(ap, fmt);
    kalder::test::capture(file, level, fmt, ap);
    va_end(ap);
}

void ap_log_rerror_(const char *file, int, int, int level, apr_status_t, const request_rec *, const char *fmt,
                    ...)
{
    va_list ap;
    va_start(ap, fmt);
    kalder::test::capture(file, level, fmt, ap);
    va_end(ap);
}

void ap_log_cerror_(const char *file, int, int, int level, apr_status_t, const conn_rec *, const char *fmt,
                    ...)
{
    va_list ap;
    va_start(ap, fmt);
    kalder::test::capture(file, level, fmt, ap);
    va_end(ap);
}

void ap_log_perror_(const char *file, int, int, int level, apr_status_t, apr_pool_t *, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    kalder::test::capture(file, level, fmt, ap);
    va_end(ap);
}

// --- configuration -----------------------------------------------------------

const char *ap_set_string_slot(cmd_parms *cmd, void *struct_ptr, const char *arg)
{
    int offset = static_cast<int>(reinterpret_cast<long>(cmd->info));
    *reinterpret_cast<const char **>(static_cast<char *>(struct_ptr) + offset) = arg;
    return nullptr;
}

const char *ap_set_int_slot(cmd_parms *cmd, void *struct_ptr, const char *arg)
{
    int offset = static_cast<int>(reinterpret_cast<long>(cmd->info));
    char *end = nullptr;
    *reinterpret_cast<int *>(static_cast<char *>(struct_ptr) + offset) =
        static_cast<int>(std::strtol(arg, &end, 10));
    if (*arg == '\0' || *end != '\0')
        return apr_psprintf(cmd->pool, "Invalid value for directive %s, expected integer",
                            cmd->directive->directive);
    return nullptr;
}

// --- registration (recorded nowhere: the integration tests load the module) --

ap_filter_rec_t *ap_register_output_filter(const char *, ap_out_filter_func, ap_init_filter_func,
                                           ap_filter_type)
{
    return nullptr;
}
void ap_hook_post_config(ap_HOOK_post_config_t *, const char *const *, const char *const *, int) {}
void ap_hook_child_init(ap_HOOK_child_init_t *, const char *const *, const char *const *, int) {}
void ap_hook_handler(ap_HOOK_handler_t *, const char *const *, const char *const *, int) {}
void ap_hook_log_transaction(ap_HOOK_log_transaction_t *, const char *const *, const char *const *, int) {}
void ap_hook_check_authn(ap_HOOK_check_user_id_t *, const char *const *, const char *const *, int, int) {}
void ap_hook_insert_network_bucket(ap_HOOK_insert_network_bucket_t *, const char *const *,
                                   const char *const *, int)
{
}
void ap_hook_insert_error_filter(ap_HOOK_insert_error_filter_t *, const char *const *, const char *const *,
                                 int)
{
}
apr_status_t ap_register_auth_provider(apr_pool_t *, const char *, const char *, const char *, const void *,
                                       int)
{
    return APR_SUCCESS;
}

// --- filters -------------------------------------------------------------------

// A filter chain ending here keeps what it is passed: tests read it back.
apr_status_t ap_pass_brigade(ap_filter_t *next, apr_bucket_brigade *bb)
{
    if (next && next->ctx)
        APR_BRIGADE_CONCAT(static_cast<apr_bucket_brigade *>(next->ctx), bb);
    return APR_SUCCESS;
}
