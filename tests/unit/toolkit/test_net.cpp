// The shared socket pieces: contacts in both forms, the connect with a time
// limit, and the error texts of the toolkit and of OpenSSL.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kalder_common.h"
#include "kalder_net.h"

namespace {

using kalder::Contact;
using kalder::ContactForm;

struct ContactCase {
    const char *text;
    ContactForm form;
    bool ok;
    const char *host_or_path;  // expected host (TCP) or path (unix), or the reason's tail
    const char *port;
};

TEST(Contact, ParsesBothFormsAndRefusesTheRestWithAReason)
{
    const ContactCase cases[] = {
        {"unix:/run/kalder.sock", ContactForm::BACKEND, true, "/run/kalder.sock", ""},
        {"backend.example.org:4000", ContactForm::BACKEND, true, "backend.example.org", "4000"},
        {"[::1]:4000", ContactForm::BACKEND, true, "::1", "4000"},
        {"::1:4000", ContactForm::BACKEND, true, "::1", "4000"},  // the last colon ends the host
        {"unix:", ContactForm::BACKEND, false, "unix: needs the socket's path", ""},
        {"unix:run/x", ContactForm::BACKEND, false, "the socket path must be absolute", ""},
        {":4000", ContactForm::BACKEND, false, "expected HOST:PORT or unix:/PATH", ""},
        {"host:0", ContactForm::BACKEND, false, "the port must be a number from 1 to 65535", ""},
        {"host:65536", ContactForm::BACKEND, false, "the port must be a number from 1 to 65535", ""},
        {"127.0.0.1:50000", ContactForm::DATA_CHANNEL, true, "127.0.0.1", "50000"},
        {"[fe80::1]:1", ContactForm::DATA_CHANNEL, true, "fe80::1", "1"},
        {"::1:4000", ContactForm::DATA_CHANNEL, false, "malformed contact \"::1:4000\"", ""},
        {"[]:4000", ContactForm::DATA_CHANNEL, false, "malformed contact \"[]:4000\"", ""},
        {"[::1]4000", ContactForm::DATA_CHANNEL, false, "malformed contact \"[::1]4000\"", ""},
        {"unix:/run/x", ContactForm::DATA_CHANNEL, false, "malformed contact \"unix:/run/x\"", ""},
        {"host:123456", ContactForm::DATA_CHANNEL, false, "malformed contact \"host:123456\"", ""},
    };
    for (const auto &c : cases) {
        Contact out;
        std::string why;
        bool ok = kalder::parse_contact(c.text, &out, &why, c.form);
        ASSERT_EQ(ok, c.ok) << c.text << ": " << why;
        if (!ok) {
            EXPECT_NE(why.find(c.host_or_path), std::string::npos) << c.text << ": " << why;
        } else if (out.unix_socket) {
            EXPECT_EQ(out.path, c.host_or_path) << c.text;
        } else {
            EXPECT_EQ(out.host, c.host_or_path) << c.text;
            EXPECT_EQ(out.port, c.port) << c.text;
        }
    }
    // The socket path must fit a socket address with its NUL.
    Contact out;
    std::string why;
    const std::string longest(sizeof(sockaddr_un::sun_path) - 1, 'p');
    EXPECT_TRUE(kalder::parse_contact("unix:/" + longest.substr(1), &out, &why));
    EXPECT_FALSE(kalder::parse_contact("unix:/" + longest, &out, &why));
    EXPECT_FALSE(
        kalder::parse_contact("127.0.0.1:" + std::string(600, '1'), &out, &why, ContactForm::DATA_CHANNEL));
}

class Listener {
   public:
    // A Unix-domain listener in a fresh temporary directory.
    Listener()
    {
        char tmpl[] = "/tmp/kalder-net-XXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/s";
        fd_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path_.copy(a.sun_path, sizeof a.sun_path - 1);
        EXPECT_EQ(bind(fd_.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd_.get(), 4), 0);
    }
    ~Listener()
    {
        fd_.reset();
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    Contact contact() const
    {
        Contact c;
        c.unix_socket = true;
        c.path = path_;
        return c;
    }
    void stop() { fd_.reset(); }

   private:
    std::string dir_, path_;
    kalder::UniqueFd fd_;
};

TEST(Connect, ReachesAListenerAndReportsWhyItCouldNot)
{
    Listener listener;
    kalder::ConnectFailure failure;
    for (bool nonblocking : {false, true}) {
        kalder::ConnectOptions options;
        options.timeout_ms = 2000;
        options.nonblocking = nonblocking;
        kalder::UniqueFd fd = kalder::connect_stream(listener.contact(), options, &failure);
        ASSERT_TRUE(fd) << failure.text();
        EXPECT_EQ((fcntl(fd.get(), F_GETFL) & O_NONBLOCK) != 0, nonblocking);
    }

    // TCP to a port that nobody listens on: refused, with the system's text.
    kalder::UniqueFd tcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(tcp.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(tcp.get(), reinterpret_cast<sockaddr *>(&a), &len), 0);
    Contact closed;
    closed.host = "127.0.0.1";
    closed.port = std::to_string(ntohs(a.sin_port));
    EXPECT_FALSE(kalder::connect_stream(closed, {}, &failure));
    EXPECT_EQ(failure.resolve, 0);
    EXPECT_EQ(failure.error, ECONNREFUSED);
    EXPECT_EQ(failure.text(), std::strerror(ECONNREFUSED));
    ASSERT_EQ(listen(tcp.get(), 4), 0);
    kalder::UniqueFd fd = kalder::connect_stream(closed, {}, &failure);
    EXPECT_TRUE(fd) << failure.text();

    // A name that does not resolve is a resolve failure, not a connect one.
    Contact nowhere;
    nowhere.host = "no-such-host.invalid";
    nowhere.port = "80";
    EXPECT_FALSE(kalder::connect_stream(nowhere, {}, &failure));
    EXPECT_NE(failure.resolve, 0);

    listener.stop();
    EXPECT_FALSE(kalder::connect_stream(listener.contact(), {}, &failure));
    EXPECT_NE(failure.error, 0);
}

TEST(Connect, UniqueFdClosesOnceAndKeepsErrno)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    kalder::UniqueFd reader(pipe_fds[0]);
    {
        kalder::UniqueFd writer(pipe_fds[1]);
        kalder::UniqueFd moved = std::move(writer);
        EXPECT_FALSE(writer);
        errno = EACCES;
    }
    EXPECT_EQ(errno, EACCES) << "closing must not clobber errno";
    char c;
    EXPECT_EQ(read(reader.get(), &c, 1), 0) << "the write end was closed exactly once";
    int raw = reader.release();
    EXPECT_FALSE(reader);
    EXPECT_EQ(close(raw), 0) << "release gives the descriptor up without closing it";
}

TEST(ErrorTexts, DescribeToolkitAndOpenSslErrors)
{
    kalder_result_t res = kalder_error_put("m", KALDER_ERROR_SYSTEM, "it broke: %d", 7);
    EXPECT_EQ(kalder_error_describe("Data channel read failed: ", res),
              "Data channel read failed: it broke: 7");
    EXPECT_EQ(kalder_error_describe("X: ", KALDER_SUCCESS), "X: ?");

    ERR_clear_error();
    EXPECT_EQ(kalder_openssl_errors(), "no detail");
    ERR_raise(ERR_LIB_SSL, ERR_R_MALLOC_FAILURE);
    ERR_raise(ERR_LIB_EVP, ERR_R_PASSED_NULL_PARAMETER);
    char first[256], second[256];
    ERR_error_string_n(ERR_peek_error(), first, sizeof first);
    ERR_error_string_n(ERR_peek_last_error(), second, sizeof second);
    EXPECT_EQ(kalder_openssl_errors(), std::string(first) + "; " + second);
    EXPECT_EQ(ERR_peek_error(), 0u) << "the queue is drained";

    ERR_raise(ERR_LIB_SSL, ERR_R_MALLOC_FAILURE);
    ERR_raise(ERR_LIB_EVP, ERR_R_PASSED_NULL_PARAMETER);
    EXPECT_EQ(kalder_openssl_errors(1), first);
    EXPECT_EQ(ERR_peek_error(), 0u) << "errors past the limit are drained too";
}

}  // namespace
