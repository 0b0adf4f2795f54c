// The TLS_PEEK bucket on real sockets: waiting for a ClientHello, passing
// bytes through, handing the connection off, and the servers' description
// the hand-off decision reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "apr_portable.h"
#include "apr_strings.h"
#include "client_hello.h"
#include "core/client_hello_builder.h"
#include "testing.h"
#include "tls_peek.h"
#include "config.h"

using kalder::test::Bytes;
using kalder::test::ClientHelloBuilder;
using kalder::test::TestServer;
using kalder::test::typical_client_hello;
using namespace kalder::tls;

namespace {

std::string str(const uint8_t *p, size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), n);
}

// --- the bucket on real sockets ----------------------------------------------

// A connected TCP pair on loopback: `client` is the test's end, `server`
// the descriptor the bucket reads, wrapped as the server wraps it.
class PeekBucket : public ::testing::Test {
   protected:
    TestServer srv_;
    conn_rec conn_{};
    int client = -1;
    int server = -1;
    apr_socket_t *socket = nullptr;
    apr_bucket_brigade *bb = nullptr;

    void SetUp() override
    {
        int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        client = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        server = accept(listener, nullptr, nullptr);
        close(listener);
        ASSERT_GE(server, 0);

        conn_.pool = srv_.pool();
        conn_.base_server = srv_.server();
        conn_.bucket_alloc = apr_bucket_alloc_create(srv_.pool());
        srv_.server()->timeout = apr_time_from_msec(2000);
        apr_os_sock_t fd = server;
        ASSERT_EQ(apr_os_sock_put(&socket, &fd, srv_.pool()), APR_SUCCESS);
        apr_socket_timeout_set(socket, srv_.server()->timeout);
        bb = apr_brigade_create(srv_.pool(), conn_.bucket_alloc);
        ASSERT_EQ(mod_kalder_insert_network_bucket(&conn_, bb, socket), OK);
        // The decision reads the servers' own tables: later entries count.
        kalder_tls_peek_configure(srv_.pool(), srv_.server());
        kalder::test::clear_log();
    }
    void TearDown() override
    {
        if (client >= 0)
            close(client);
        close(server);
    }
    void send_bytes(const Bytes &b)
    {
        ASSERT_EQ(send(client, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    }
    apr_bucket *first() { return APR_BRIGADE_FIRST(bb); }
    apr_status_t read_first(std::string &out, apr_read_type_e block = APR_BLOCK_READ)
    {
        const char *data = nullptr;
        apr_size_t len = 0;
        apr_status_t rv = apr_bucket_read(first(), &data, &len, block);
        out.assign(data ? data : "", data ? len : 0);
        return rv;
    }
    // Everything the brigade still delivers until end of input.
    std::string drain()
    {
        shutdown(client, SHUT_WR);
        std::string all;
        while (!APR_BRIGADE_EMPTY(bb)) {
            std::string part;
            if (read_first(part) != APR_SUCCESS)
                break;
            all += part;
            apr_bucket_delete(first());
        }
        return all;
    }
    static int low_water(int fd)
    {
        int v = 0;
        socklen_t l = sizeof v;
        getsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &v, &l);
        return v;
    }
};

TEST_F(PeekBucket, EndOfInputWithoutBytesIsAnEmptyConnection)
{
    shutdown(client, SHUT_WR);
    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_EQ(got, "");
    EXPECT_TRUE(APR_BUCKET_IS_IMMORTAL(first()));
}

TEST_F(PeekBucket, PassThroughDeliversEveryByteOnceInOrder)
{
    std::string request = "GET / HTTP/1.1\r\nHost: collection.test\r\n\r\n";
    send_bytes(Bytes(request.begin(), request.end()));
    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_EQ(got, request);
    EXPECT_TRUE(APR_BUCKET_IS_HEAP(first()));
    EXPECT_TRUE(APR_BUCKET_IS_SOCKET(APR_BUCKET_NEXT(first())));
    apr_bucket_delete(first());
    send_bytes(Bytes{'t', 'a', 'i', 'l'});
    EXPECT_EQ(drain(), "tail");
    EXPECT_EQ(kalder::test::log_lines().size(), 0u) << kalder::test::dump_log();
}

TEST_F(PeekBucket, IncompleteNonBlockingReadWaitsForTheRestOfTheRecord)
{
    const Bytes hello = typical_client_hello().records();
    send_bytes(Bytes(hello.begin(), hello.begin() + 40));
    std::string got;
    EXPECT_EQ(read_first(got, APR_NONBLOCK_READ), APR_EAGAIN);
    EXPECT_STREQ(first()->type->name, "TLS_PEEK");
    // The socket reports readable only once the whole record is queued,
    // so a server polling it does not wake up again and again.
    EXPECT_EQ(low_water(server), static_cast<int>(hello.size()));
    pollfd p{server, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 50), 0);
    send_bytes(Bytes(hello.begin() + 40, hello.end()));
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    ASSERT_EQ(read_first(got, APR_NONBLOCK_READ), APR_SUCCESS);
    EXPECT_EQ(got, str(hello.data(), hello.size()));
    EXPECT_EQ(low_water(server), 1);
}

TEST_F(PeekBucket, ClientHelloInTwoPiecesIsAwaitedByABlockingRead)
{
    const Bytes hello = typical_client_hello().records({50});
    send_bytes(Bytes(hello.begin(), hello.begin() + 30));
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        send_bytes(Bytes(hello.begin() + 30, hello.end()));
    });
    std::string got;
    const auto start = std::chrono::steady_clock::now();
    const apr_status_t rv = read_first(got);
    later.join();
    ASSERT_EQ(rv, APR_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(got, str(hello.data(), hello.size()));
    EXPECT_EQ(low_water(server), 1);
}

TEST_F(PeekBucket, StalledHalfClientHelloTimesOutWithoutSpinning)
{
    srv_.server()->timeout = apr_time_from_msec(400);
    const Bytes hello = typical_client_hello().records();
    send_bytes(Bytes(hello.begin(), hello.begin() + 100));
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    const auto start = std::chrono::steady_clock::now();
    std::string got;
    EXPECT_EQ(read_first(got), APR_TIMEUP);
    const auto waited = std::chrono::steady_clock::now() - start;
    getrusage(RUSAGE_THREAD, &after);
    EXPECT_GE(waited, std::chrono::milliseconds(350));
    EXPECT_LT(waited, std::chrono::milliseconds(1500));
    const long cpu_us = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000000L +
                        (after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                        (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000000L +
                        (after.ru_stime.tv_usec - before.ru_stime.tv_usec);
    EXPECT_LT(cpu_us, 50000) << "the wait must sleep, not poll in a loop";
    EXPECT_STREQ(first()->type->name, "TLS_PEEK");
    EXPECT_EQ(low_water(server), 1);
}

TEST_F(PeekBucket, HalfClientHelloThenEndOfInputGoesToTheTlsLayer)
{
    const Bytes hello = typical_client_hello().records();
    send_bytes(Bytes(hello.begin(), hello.begin() + 100));
    shutdown(client, SHUT_WR);
    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_EQ(got, str(hello.data(), 100));
}

// A Unix socket listener standing in for the receiving service.
struct Receiver {
    std::string path;
    int fd = -1;
    explicit Receiver(const std::string &p) : path(p)
    {
        unlink(path.c_str());
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd, 4), 0);
    }
    ~Receiver()
    {
        close(fd);
        unlink(path.c_str());
    }
    // Accepts one hand-off; returns the passed descriptor (or -1) and the
    // data bytes that came with it.
    int take(std::string &message)
    {
        int conn = accept(fd, nullptr, nullptr);
        if (conn < 0)
            return -1;
        char data[16];
        union {
            char buf[CMSG_SPACE(sizeof(int))];
            cmsghdr align;
        } control{};
        iovec iov{data, sizeof data};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.buf;
        msg.msg_controllen = sizeof control.buf;
        ssize_t n = recvmsg(conn, &msg, 0);
        close(conn);
        message.assign(data, n > 0 ? static_cast<size_t>(n) : 0);
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        if (!c || c->cmsg_type != SCM_RIGHTS)
            return -1;
        int passed;
        std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
        return passed;
    }
};

TEST_F(PeekBucket, HandOffPassesTheLiveConnectionAndLeavesADeadOne)
{
    Receiver receiver(testing::TempDir() + "kalder-peek-" + std::to_string(getpid()) + ".sock");
    apr_table_set(srv_.config()->unix_sockets, "http/1.1", receiver.path.c_str());
    ClientHelloBuilder h;
    h.sni("collection.example.org").alpn({"h2", "http/1.1"});
    const Bytes hello = h.records();
    send_bytes(hello);

    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_EQ(got, "");
    EXPECT_TRUE(APR_BUCKET_IS_IMMORTAL(first()));

    std::string message;
    const int passed = receiver.take(message);
    ASSERT_GE(passed, 0);
    EXPECT_EQ(message, std::string("\0\0\0\1", 4));
    // The receiver reads the ClientHello from the start, and talks to the
    // client directly.
    std::string unread(hello.size(), '\0');
    ASSERT_EQ(recv(passed, unread.data(), unread.size(), MSG_WAITALL), static_cast<ssize_t>(hello.size()));
    EXPECT_EQ(unread, str(hello.data(), hello.size()));
    ASSERT_EQ(send(passed, "hi", 2, 0), 2);
    char buf[2];
    ASSERT_EQ(recv(client, buf, 2, MSG_WAITALL), 2);
    close(passed);
    // The server's descriptor number now names an unconnected socket.
    EXPECT_EQ(send(server, "x", 1, MSG_NOSIGNAL), -1);
    EXPECT_TRUE(kalder::test::logged(APLOG_DEBUG, "Checking for alpn h2 in config"));
}

// Virtual hosts linked as httpd links them, each in front of those read
// before it: the decision still sees them in configuration order.
TEST_F(PeekBucket, HandOffFollowsTheConfigurationOrderOfVirtualHosts)
{
    Receiver receiver(testing::TempDir() + "kalder-order-" + std::to_string(getpid()) + ".sock");
    for (const char *path : {receiver.path.c_str(), "/nonexistent/second.sock"}) {
        apr_pool_t *p = srv_.pool();
        auto *s = static_cast<server_rec *>(apr_pcalloc(p, sizeof(server_rec)));
        s->server_hostname = apr_pstrdup(p, path);
        auto **vector = static_cast<void **>(apr_pcalloc(p, sizeof(void *)));
        vector[0] = mod_kalder_create_server_config(p, s);
        s->module_config = reinterpret_cast<ap_conf_vector_t *>(vector);
        apr_table_set(kalder_server_config(s)->unix_sockets, "*", path);
        s->next = srv_.server()->next;
        srv_.server()->next = s;
    }
    kalder_tls_peek_configure(srv_.pool(), srv_.server());
    ClientHelloBuilder h;
    h.alpn({"h2"});
    send_bytes(h.records());
    std::string got, message;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    pollfd p{receiver.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1) << "the first virtual host's socket";
    const int passed = receiver.take(message);
    EXPECT_GE(passed, 0);
    close(passed);
}

TEST_F(PeekBucket, HandOffToAPathWhereNothingListensEndsTheConnectionQuietly)
{
    apr_table_set(srv_.config()->unix_sockets, "*", "/nonexistent/kalder.sock");
    ClientHelloBuilder h;
    h.sni("collection.example.org");
    send_bytes(h.records());
    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_EQ(got, "");
    EXPECT_TRUE(APR_BUCKET_IS_IMMORTAL(first()));
    for (const auto &line : kalder::test::log_lines()) EXPECT_GE(line.level, APLOG_DEBUG) << line.message;
}

TEST_F(PeekBucket, FieldTracingOnlyAtTrace5)
{
    send_bytes(typical_client_hello().records());
    srv_.server()->log.level = APLOG_DEBUG;
    std::string got;
    ASSERT_EQ(read_first(got, APR_NONBLOCK_READ), APR_SUCCESS);
    EXPECT_EQ(kalder::test::count_logged("MSG_TYPE=1"), 0);
    EXPECT_TRUE(kalder::test::logged(APLOG_DEBUG, "Checking for alpn h2 in config"));
}

TEST_F(PeekBucket, FieldTracingAtTrace5)
{
    send_bytes(typical_client_hello().records());
    srv_.server()->log.level = APLOG_TRACE5;
    std::string got;
    ASSERT_EQ(read_first(got), APR_SUCCESS);
    EXPECT_TRUE(kalder::test::logged(APLOG_TRACE5, "MSG_TYPE=1"));
    EXPECT_TRUE(kalder::test::logged(APLOG_TRACE5,
                                     "SNI: NAME_LIST_LEN=18 NAME_TYPE=0 NAME_LEN=15 NAME=collection.test"));
}

}  // namespace
