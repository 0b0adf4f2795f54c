// The data channel's own pieces with the real toolkit: the per-request
// credential, and the "XIO" bucket over a loopback TCP+GSI connection.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "credential.h"
#include "handler.h"
#include "testing.h"
#include "server_config.h"

using kalder::test::TestRequest;
using kalder::test::TestServer;

namespace {

struct DataChannel : ::testing::Test {
    TestServer srv;
    TestRequest req{srv, "GET", "/f"};
    kalder_xio_driver_t tcp = nullptr, gsi = nullptr;
    kalder_xio_stack_t stack = nullptr;

    void SetUp() override
    {
        ASSERT_EQ(kalder_xio_driver_load("tcp", &tcp), KALDER_SUCCESS);
        ASSERT_EQ(kalder_xio_driver_load("gsi", &gsi), KALDER_SUCCESS);
        ASSERT_EQ(kalder_xio_stack_init(&stack, nullptr), KALDER_SUCCESS);
        ASSERT_EQ(kalder_xio_stack_push_driver(stack, tcp), KALDER_SUCCESS);
        ASSERT_EQ(kalder_xio_stack_push_driver(stack, gsi), KALDER_SUCCESS);
    }
    void TearDown() override
    {
        kalder_xio_stack_destroy(stack);
        kalder_xio_driver_unload(gsi);
        kalder_xio_driver_unload(tcp);
        kalder::test::clear_log();
    }
    gss_cred_id_t make_credential()
    {
        auto *st = static_cast<HandlerState *>(apr_pcalloc(req->pool, sizeof(HandlerState)));
        st->request = req.get();
        st->pool = req->pool;
        EXPECT_EQ(create_dcsc_credential(st), 0) << kalder::test::dump_log();
        return st->credential;
    }
    kalder_xio_attr_t attributes(gss_cred_id_t cred)
    {
        kalder_xio_attr_t attr = nullptr;
        EXPECT_EQ(kalder_xio_attr_init(&attr), KALDER_SUCCESS);
        EXPECT_EQ(kalder_xio_attr_cntl(attr, tcp, KALDER_XIO_TCP_SET_INTERFACE, "127.0.0.1"), KALDER_SUCCESS);
        EXPECT_EQ(kalder_xio_attr_cntl(attr, gsi, KALDER_XIO_GSI_SET_CREDENTIAL, cred), KALDER_SUCCESS);
        EXPECT_EQ(kalder_xio_attr_cntl(attr, nullptr, KALDER_XIO_ATTR_SET_TIMEOUT, 10000), KALDER_SUCCESS);
        return attr;
    }
};

// Both key types make the same certificate; P-256 unless the server asks
// for RSA-2048. The other tests here run the data channel over P-256.
struct DataChannelKeys : DataChannel, ::testing::WithParamInterface<DataChannelKey> {};

TEST_P(DataChannelKeys, CredentialIsAFreshSelfSignedCertificateForSevenDays)
{
    srv.config()->data_channel_key = GetParam();
    gss_cred_id_t first = make_credential();
    gss_cred_id_t second = make_credential();
    ASSERT_NE(first, GSS_C_NO_CREDENTIAL);
    ASSERT_NE(second, GSS_C_NO_CREDENTIAL);
    X509 *cert = kalder_gsi_cred_cert(first);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(X509_get_version(cert), 2);
    EXPECT_EQ(ASN1_INTEGER_get(X509_get0_serialNumber(cert)), 0);
    char subject[256], issuer[256];
    X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
    X509_NAME_oneline(X509_get_issuer_name(cert), issuer, sizeof issuer);
    EXPECT_STREQ(subject, "/C=US/CN=Kalder DCSC Cert");
    EXPECT_STREQ(issuer, subject);
    int days = 0, seconds = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert), X509_get0_notAfter(cert)), 1);
    EXPECT_EQ(days * 86400 + seconds, 604800);
    EXPECT_LE(X509_cmp_current_time(X509_get0_notBefore(cert)), 0);  // valid from now
    EVP_PKEY *key = X509_get0_pubkey(cert);
    if (GetParam() == DATA_CHANNEL_KEY_RSA2048) {
        EXPECT_EQ(EVP_PKEY_get_base_id(key), EVP_PKEY_RSA);
        EXPECT_EQ(EVP_PKEY_get_bits(key), 2048);
    } else {
        EXPECT_EQ(EVP_PKEY_get_base_id(key), EVP_PKEY_EC);
        char group[32] = {};
        EXPECT_EQ(EVP_PKEY_get_group_name(key, group, sizeof group, nullptr), 1);
        EXPECT_STREQ(group, "prime256v1");
    }
    EXPECT_EQ(X509_get_signature_nid(cert),
              GetParam() == DATA_CHANNEL_KEY_RSA2048 ? NID_sha256WithRSAEncryption : NID_ecdsa_with_SHA256);
    EXPECT_EQ(X509_verify(cert, key), 1);  // signed by its own key
    // Every request gets a key of its own.
    EXPECT_NE(EVP_PKEY_eq(key, X509_get0_pubkey(kalder_gsi_cred_cert(second))), 1);
    OM_uint32 minor = 0;
    gss_release_cred(&minor, &first);
    gss_release_cred(&minor, &second);
}

INSTANTIATE_TEST_SUITE_P(KeyTypes, DataChannelKeys,
                         ::testing::Values(DATA_CHANNEL_KEY_UNSET, DATA_CHANNEL_KEY_P256,
                                           DATA_CHANNEL_KEY_RSA2048));

// The pool fills only the key types requests asked for, and only while no
// request is being served; it hands each ready credential out once,
// refills, and gives nothing once stopped.
TEST(CredentialPool, HandsOutEachReadyCredentialOnceAndRefills)
{
    auto wait_depth = [](DataChannelKey type, int depth) {
        for (int i = 0; i < 1000 && dcsc_pool_depth(type) < depth; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return dcsc_pool_depth(type);
    };
    OM_uint32 minor = 0;
    dcsc_pool_start(2);
    EXPECT_EQ(dcsc_pool_take(DATA_CHANNEL_KEY_P256), GSS_C_NO_CREDENTIAL);  // starts the filler
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(dcsc_pool_depth(DATA_CHANNEL_KEY_P256), 0);  // that request is still being served
    dcsc_pool_request_done();
    ASSERT_EQ(wait_depth(DATA_CHANNEL_KEY_P256, 2), 2);
    std::set<gss_cred_id_t> seen;
    std::set<std::string> keys;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 2; ++i) {
            gss_cred_id_t cred = dcsc_pool_take(DATA_CHANNEL_KEY_P256);
            ASSERT_NE(cred, GSS_C_NO_CREDENTIAL);
            EXPECT_TRUE(seen.insert(cred).second);
            X509 *cert = kalder_gsi_cred_cert(cred);
            EXPECT_EQ(X509_check_private_key(cert, kalder_gsi_cred_key(cred)), 1);
            unsigned char *der = nullptr;
            int len = i2d_PUBKEY(X509_get0_pubkey(cert), &der);
            ASSERT_GT(len, 0);
            EXPECT_TRUE(keys.emplace(reinterpret_cast<char *>(der), static_cast<size_t>(len)).second);
            OPENSSL_free(der);
            gss_release_cred(&minor, &cred);
        }
        for (int i = 0; i < 2; ++i) dcsc_pool_request_done();
        ASSERT_EQ(wait_depth(DATA_CHANNEL_KEY_P256, 2), 2);  // refilled after the requests
    }
    EXPECT_EQ(dcsc_pool_depth(DATA_CHANNEL_KEY_RSA2048), 0);  // never asked for
    dcsc_pool_stop();
    EXPECT_EQ(dcsc_pool_depth(DATA_CHANNEL_KEY_P256), 0);
    EXPECT_EQ(dcsc_pool_take(DATA_CHANNEL_KEY_P256), GSS_C_NO_CREDENTIAL);
    dcsc_pool_request_done();
}

TEST_F(DataChannel, XioBucketReadsWhatArrivesThenEndsAtTheOrderlyClose)
{
    gss_cred_id_t cred = make_credential();
    kalder_xio_attr_t sattr = attributes(cred);
    kalder_xio_server_t server = nullptr;
    ASSERT_EQ(kalder_xio_server_create(&server, sattr, stack), KALDER_SUCCESS);
    kalder_xio_attr_destroy(sattr);
    char *contact = nullptr;
    ASSERT_EQ(kalder_xio_server_cntl(server, tcp, KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT, &contact),
              KALDER_SUCCESS);
    std::string where = contact;
    free(contact);

    std::thread peer([&] {
        kalder_xio_attr_t cattr = attributes(cred);
        kalder_xio_handle_t h = nullptr;
        kalder_xio_handle_create(&h, stack);
        if (kalder_xio_open(h, where.c_str(), cattr) == KALDER_SUCCESS) {
            size_t n = 0;
            kalder_xio_write(h, "abc", 3, 3, &n, nullptr);
        }
        kalder_xio_attr_destroy(cattr);
        kalder_xio_close(h, nullptr);  // orderly close: end of file for the reader
    });
    kalder_xio_handle_t handle = nullptr;
    ASSERT_EQ(kalder_xio_server_accept(&handle, server), KALDER_SUCCESS);
    ASSERT_EQ(kalder_xio_open(handle, nullptr, nullptr), KALDER_SUCCESS);

    apr_bucket_alloc_t *list = req->connection->bucket_alloc;
    apr_bucket_brigade *bb = apr_brigade_create(req->pool, list);
    apr_bucket *b = xio_bucket_create(handle, list);
    EXPECT_EQ(b->length, static_cast<apr_size_t>(-1));
    EXPECT_EQ(b->start, -1);
    APR_BRIGADE_INSERT_TAIL(bb, b);

    const char *data = nullptr;
    apr_size_t len = 0;
    ASSERT_EQ(apr_bucket_read(b, &data, &len, APR_NONBLOCK_READ), APR_SUCCESS);
    EXPECT_EQ(std::string(data, len), "abc");
    EXPECT_TRUE(APR_BUCKET_IS_HEAP(b));
    apr_bucket *next = APR_BUCKET_NEXT(b);
    ASSERT_NE(next, APR_BRIGADE_SENTINEL(bb));
    EXPECT_EQ(next->type, &xio_bucket_type);
    EXPECT_EQ(next->data, handle);

    ASSERT_EQ(apr_bucket_read(next, &data, &len, APR_BLOCK_READ), APR_SUCCESS);
    EXPECT_EQ(len, 0u);
    EXPECT_TRUE(APR_BUCKET_IS_IMMORTAL(next));
    EXPECT_EQ(APR_BUCKET_NEXT(next), APR_BRIGADE_SENTINEL(bb));  // the stream ends there

    peer.join();
    apr_brigade_cleanup(bb);
    kalder_xio_close(handle, nullptr);
    kalder_xio_server_close(server);
    OM_uint32 minor = 0;
    gss_release_cred(&minor, &cred);
}

}  // namespace
