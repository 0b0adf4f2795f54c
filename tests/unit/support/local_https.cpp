// See local_https.h.
#include "local_https.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <curl/curl.h>

namespace kalder::test {

namespace {

// Runs a command quietly; true when it exits 0.
bool run_quiet(const std::vector<std::string> &argv, const std::string &cwd)
{
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool write_all(int fd, const void *data, size_t n)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void put_string(std::string &out, const std::string &s)
{
    uint32_t n = static_cast<uint32_t>(s.size());
    out.append(reinterpret_cast<const char *>(&n), sizeof n);
    out += s;
}

bool get_string(const std::string &in, size_t &at, std::string &s)
{
    uint32_t n = 0;
    if (in.size() - at < sizeof n)
        return false;
    std::memcpy(&n, in.data() + at, sizeof n);
    at += sizeof n;
    if (in.size() - at < n)
        return false;
    s.assign(in, at, n);
    at += n;
    return true;
}

// Reads until end of file or the deadline.
bool read_until_eof(int fd, std::string &out, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(left.count()));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

}  // namespace

std::string source_dir()
{
    // This file is tests/unit/support/local_https.cpp.
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path().string();
}

std::string TestPki::make()
{
    char tmpl[] = "/tmp/kalder-pki.XXXXXX";
    if (!mkdtemp(tmpl))
        return "mkdtemp failed";
    dir = tmpl;
    ca = dir + "/ca.crt";
    cert = dir + "/server.crt";
    key = dir + "/server.key";
    // tools/make-pki, the maker the integration tests and the local stack use.
    const std::string make_pki = source_dir() + "/tools/make-pki";
    if (!run_quiet({make_pki, "ca", dir, "1", "unit test CA"}, dir))
        return "make-pki could not make the test CA";
    if (!run_quiet({make_pki, "issue", dir, "1", "server", "localhost"}, dir))
        return "make-pki could not issue the server certificate";
    return "";
}

void TestPki::remove()
{
    if (!dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        dir.clear();
    }
}

std::string ChildServer::start(const std::vector<std::string> &argv, int timeout_ms)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return "pipe failed";
    pid_ = fork();
    if (pid_ < 0)
        return "fork failed";
    if (pid_ == 0) {
        dup2(out[1], 1);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    // Read the first line: "... https://127.0.0.1:PORT".
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char c[256];
        ssize_t n = read(out[0], c, sizeof c);
        if (n <= 0)
            break;
        line.append(c, static_cast<size_t>(n));
    }
    close(out[0]);
    size_t colon = line.rfind(':');
    if (line.find("https://") == std::string::npos || colon == std::string::npos) {
        stop();
        return "server did not report its port; it said: '" + line + "'";
    }
    port_ = std::atoi(line.c_str() + colon + 1);
    return port_ > 0 ? "" : "bad port in '" + line + "'";
}

void ChildServer::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

Isolated run_trusting(const std::string &ca_file, const std::function<std::string()> &fn, int timeout_ms)
{
    Isolated result;
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        result.reason = "pipe failed";
        return result;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        result.reason = "fork failed";
        return result;
    }
    if (pid == 0) {
        close(pipefd[0]);
        std::string out;
        curl_global_init(CURL_GLOBAL_DEFAULT);
        std::string bundle;
        if (CURL *probe = curl_easy_init()) {
            char *path = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &path) == CURLE_OK && path)
                bundle = path;
            curl_easy_cleanup(probe);
        }
        std::string why;
        if (bundle.empty())
            why = "libcurl has no default CA bundle file";
        else if (unshare(CLONE_NEWNS) != 0)
            why = std::string("unshare(CLONE_NEWNS) failed: ") + std::strerror(errno) + " (needs root)";
        else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 mount(ca_file.c_str(), bundle.c_str(), nullptr, MS_BIND, nullptr) != 0)
            why = std::string("bind-mounting the test CA failed: ") + std::strerror(errno);
        if (!why.empty()) {
            out += 'S';
            put_string(out, why);
        } else {
            clear_log();
            std::string value = fn();
            out += 'R';
            put_string(out, value);
            for (const auto &line : log_lines()) {
                put_string(out, line.source);
                put_string(out, std::to_string(line.level));
                put_string(out, line.message);
            }
        }
        write_all(pipefd[1], out.data(), out.size());
        _exit(0);
    }
    close(pipefd[1]);
    std::string in;
    bool complete = read_until_eof(pipefd[0], in, timeout_ms);
    close(pipefd[0]);
    if (!complete)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!complete || in.empty()) {
        result.reason = "the isolated child did not finish (status " + std::to_string(status) + ")";
        result.ran = true;  // a failure of the code under test, not a skip
        result.value = "<child crashed or hung>";
        return result;
    }
    size_t at = 1;
    if (in[0] == 'S') {
        get_string(in, at, result.reason);
        return result;
    }
    result.ran = true;
    get_string(in, at, result.value);
    std::string source, level, message;
    while (get_string(in, at, source) && get_string(in, at, level) && get_string(in, at, message))
        log_lines().push_back({source, std::atoi(level.c_str()), message});
    return result;
}

}  // namespace kalder::test
