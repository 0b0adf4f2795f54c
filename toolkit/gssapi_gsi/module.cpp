// Credentials for the GSI driver: import from and export to the opaque PEM
// form (certificate, private key, further certificates).
#include "kalder_gssapi_gsi.h"

#include <openssl/bio.h>
#include <openssl/decoder.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

kalder_module_descriptor_t kalder_i_gsi_gssapi_module_desc = {"kalder_gssapi_gsi", nullptr, nullptr, 0};

struct gss_cred_id_struct {
    std::atomic<int> refs{1};
    X509 *cert = nullptr;
    EVP_PKEY *key = nullptr;
    std::vector<X509 *> extra;  // further certificates, in buffer order
    std::string exported;       // the export form, when written ahead (it holds the key)

    ~gss_cred_id_struct()
    {
        X509_free(cert);
        EVP_PKEY_free(key);
        for (X509 *x : extra) X509_free(x);
        if (!exported.empty())
            OPENSSL_cleanse(exported.data(), exported.size());
    }
};

namespace {

constexpr const char *kModule = "kalder_gssapi_gsi";
constexpr size_t kMaxImport = 1 << 20;  // a credential is a few KiB; refuse absurd buffers

OM_uint32 fail(OM_uint32 *minor, OM_uint32 major, const char *what)
{
    // The first queued OpenSSL error explains the failure; the queue is drained.
    if (minor)
        *minor = static_cast<OM_uint32>(
            kalder_error_put(kModule, KALDER_ERROR_AUTH, "%s (%s)", what, kalder_openssl_errors(1).c_str()));
    return major;
}

// One PEM block, read raw: its label and DER bytes. OpenSSL's typed PEM
// readers look up their decoders afresh on every call, which costs several
// hundred microseconds per key; reading the block first lets the import
// decode the key with the decoder of its own type only, and recognise the
// repeated leaf certificate without parsing it again.
struct PemBlock {
    char *name = nullptr;
    char *header = nullptr;
    unsigned char *der = nullptr;
    long length = 0;

    PemBlock() = default;
    PemBlock(const PemBlock &) = delete;
    PemBlock &operator=(const PemBlock &) = delete;
    ~PemBlock()
    {
        OPENSSL_free(name);
        OPENSSL_free(header);
        if (der)
            OPENSSL_clear_free(der, static_cast<size_t>(length));
    }
    bool same_bytes(const PemBlock &other) const
    {
        return der && other.der && length == other.length &&
               std::memcmp(der, other.der, static_cast<size_t>(length)) == 0;
    }
};

bool is_certificate(const char *name)
{
    return std::strcmp(name, PEM_STRING_X509) == 0 || std::strcmp(name, PEM_STRING_X509_OLD) == 0;
}

bool is_any(const char *)
{
    return true;
}

// Reads the next block whose label `wanted` accepts, skipping others (as
// the typed readers do): 1 when read, 0 at the clean end of the buffer, -1
// when the text is malformed.
int read_block(BIO *bio, PemBlock &block, bool (*wanted)(const char *))
{
    for (;;) {
        OPENSSL_free(block.name);
        OPENSSL_free(block.header);
        if (block.der)
            OPENSSL_clear_free(block.der, static_cast<size_t>(block.length));
        block.name = block.header = nullptr;
        block.der = nullptr;
        block.length = 0;
        if (PEM_read_bio(bio, &block.name, &block.header, &block.der, &block.length) != 1) {
            unsigned long e = ERR_peek_last_error();
            if (e && !(ERR_GET_LIB(e) == ERR_LIB_PEM && ERR_GET_REASON(e) == PEM_R_NO_START_LINE))
                return -1;
            ERR_clear_error();
            return 0;
        }
        if (wanted(block.name))
            return 1;
    }
}

X509 *parse_certificate(const PemBlock &block)
{
    const unsigned char *p = block.der;
    return d2i_X509(nullptr, &p, block.length);
}

// The next DER element of [*p, end): its tag (universal, or context-specific
// when `context`), constructed or not, and its contents. False when it is
// not there, malformed or longer than what is left.
bool next_element(const unsigned char **p, const unsigned char *end, int want_tag, bool constructed,
                  bool context, const unsigned char **contents, long *length)
{
    if (*p >= end)
        return false;
    const unsigned char *q = *p;
    int tag = 0, cls = 0;
    const int ret = ASN1_get_object(&q, length, &tag, &cls, end - *p);
    if ((ret & 0x80) || tag != want_tag || cls != (context ? V_ASN1_CONTEXT_SPECIFIC : V_ASN1_UNIVERSAL) ||
        ((ret & V_ASN1_CONSTRUCTED) != 0) != constructed || *length < 0 || *length > end - q)
        return false;
    *contents = q;
    *p = q + *length;
    return true;
}

// A P-256 key as PKCS#8 around an ECPrivateKey that carries its public point
// (what OpenSSL writes): built from the scalar and the point with
// EVP_PKEY_fromdata, which skips the decoder look-up that costs about 0.3 ms
// in OpenSSL 3.0. The point is the key's own, so the certificate check that
// follows compares exactly what it compares for a decoded key. Any other
// form returns null and is decoded the general way.
EVP_PKEY *p256_key_from_pkcs8(const PemBlock &block)
{
    const unsigned char *p = block.der;
    PKCS8_PRIV_KEY_INFO *p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, block.length);
    if (!p8)
        return nullptr;
    EVP_PKEY *key = nullptr;
    const ASN1_OBJECT *algorithm = nullptr;
    const unsigned char *inner = nullptr;
    int inner_length = 0;
    const X509_ALGOR *algor = nullptr;
    int parameter_type = 0;
    const void *parameter = nullptr;
    if (PKCS8_pkey_get0(&algorithm, &inner, &inner_length, &algor, p8) == 1 &&
        OBJ_obj2nid(algorithm) == NID_X9_62_id_ecPublicKey) {
        X509_ALGOR_get0(nullptr, &parameter_type, &parameter, algor);
    }
    const unsigned char *q = inner, *end = inner ? inner + inner_length : nullptr;
    const unsigned char *sequence = nullptr, *version = nullptr, *scalar = nullptr, *tagged = nullptr,
                        *bits = nullptr;
    long sequence_length = 0, version_length = 0, scalar_length = 0, tagged_length = 0, bits_length = 0;
    // ECPrivateKey: SEQUENCE { INTEGER 1, OCTET STRING d, [0] curve OPTIONAL, [1] BIT STRING point }
    bool ok = parameter_type == V_ASN1_OBJECT &&
              OBJ_obj2nid(static_cast<const ASN1_OBJECT *>(parameter)) == NID_X9_62_prime256v1 &&
              next_element(&q, end, V_ASN1_SEQUENCE, true, false, &sequence, &sequence_length) && q == end;
    if (ok) {
        q = sequence;
        end = sequence + sequence_length;
        ok = next_element(&q, end, V_ASN1_INTEGER, false, false, &version, &version_length) &&
             version_length == 1 && version[0] == 1 &&
             next_element(&q, end, V_ASN1_OCTET_STRING, false, false, &scalar, &scalar_length) &&
             scalar_length >= 1 && scalar_length <= 32;
        const unsigned char *skipped = nullptr;
        long skipped_length = 0;
        const unsigned char *before = q;
        if (ok && !next_element(&q, end, 0, true, true, &skipped, &skipped_length))
            q = before;  // the curve is named in the algorithm; [0] may be left out
        ok = ok && next_element(&q, end, 1, true, true, &tagged, &tagged_length) && q == end;
        const unsigned char *t = tagged;
        ok = ok &&
             next_element(&t, tagged + tagged_length, V_ASN1_BIT_STRING, false, false, &bits, &bits_length) &&
             t == tagged + tagged_length && bits_length == 66 && bits[0] == 0 && bits[1] == 0x04;
    }
    BIGNUM *d = ok ? BN_bin2bn(scalar, static_cast<int>(scalar_length), nullptr) : nullptr;
    OSSL_PARAM_BLD *build = d ? OSSL_PARAM_BLD_new() : nullptr;
    OSSL_PARAM *params = nullptr;
    if (build && OSSL_PARAM_BLD_push_utf8_string(build, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) == 1 &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_PRIV_KEY, d) == 1 &&
        OSSL_PARAM_BLD_push_octet_string(build, OSSL_PKEY_PARAM_PUB_KEY, bits + 1, 65) == 1)
        params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX *ctx = params ? EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr) : nullptr;
    if (ctx &&
        (EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params) != 1)) {
        EVP_PKEY_free(key);
        key = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    BN_clear_free(d);
    PKCS8_PRIV_KEY_INFO_free(p8);
    ERR_clear_error();
    return key;
}

// The private key that follows the certificate. An unencrypted PKCS#8 key
// (what this toolkit and the module write) is decoded as the certificate's
// key type; any other form goes through OpenSSL's general reader, with an
// empty passphrase, exactly as before.
EVP_PKEY *read_private_key(BIO *bio, X509 *cert)
{
    PemBlock block;
    if (read_block(bio, block, is_any) != 1)
        return nullptr;
    EVP_PKEY *key = nullptr;
    const EVP_PKEY *pub = X509_get0_pubkey(cert);
    const char *type = pub ? EVP_PKEY_get0_type_name(pub) : nullptr;
    if (type && std::strcmp(block.name, PEM_STRING_PKCS8INF) == 0 && std::strcmp(type, "EC") == 0) {
        key = p256_key_from_pkcs8(block);
        if (key)
            return key;
    }
    if (type && std::strcmp(block.name, PEM_STRING_PKCS8INF) == 0) {
        OSSL_DECODER_CTX *dctx = OSSL_DECODER_CTX_new_for_pkey(&key, "DER", "PrivateKeyInfo", type,
                                                               EVP_PKEY_KEYPAIR, nullptr, nullptr);
        const unsigned char *p = block.der;
        size_t left = static_cast<size_t>(block.length);
        if (!dctx || OSSL_DECODER_from_data(dctx, &p, &left) != 1) {
            EVP_PKEY_free(key);
            key = nullptr;
        }
        OSSL_DECODER_CTX_free(dctx);
        if (key)
            return key;
        ERR_clear_error();
    }
    // The general reader, over the block written back out unchanged.
    BIO *one = BIO_new(BIO_s_secmem());
    if (one && PEM_write_bio(one, block.name, block.header ? block.header : "", block.der, block.length) > 0)
        key = PEM_read_bio_PrivateKey(one, nullptr, nullptr, const_cast<char *>(""));
    BIO_free(one);
    return key;
}
}  // namespace

OM_uint32 gss_import_cred(OM_uint32 *minor_status, gss_cred_id_t *output_cred_handle,
                          const gss_OID desired_mech, OM_uint32 option_req, const gss_buffer_t import_buffer,
                          OM_uint32, OM_uint32 *time_rec)
{
    if (minor_status)
        *minor_status = 0;
    if (!output_cred_handle)
        return fail(minor_status, GSS_S_FAILURE, "gss_import_cred: no output handle");
    *output_cred_handle = GSS_C_NO_CREDENTIAL;
    if (desired_mech != GSS_C_NO_OID)
        return fail(minor_status, GSS_S_BAD_MECH, "gss_import_cred: only the default mechanism is supported");
    if (option_req != GSS_IMPEXP_OPAQUE_FORM)
        return fail(minor_status, GSS_S_FAILURE, "gss_import_cred: only the opaque (PEM) form is supported");
    if (!import_buffer || !import_buffer->value || import_buffer->length == 0 ||
        import_buffer->length > kMaxImport)
        return fail(minor_status, GSS_S_DEFECTIVE_CREDENTIAL, "gss_import_cred: empty or oversized buffer");

    BIO *bio = BIO_new_mem_buf(import_buffer->value, static_cast<int>(import_buffer->length));
    if (!bio)
        return fail(minor_status, GSS_S_FAILURE, "gss_import_cred: BIO_new_mem_buf failed");
    auto *cred = new (std::nothrow) gss_cred_id_struct;
    if (!cred) {
        BIO_free(bio);
        return fail(minor_status, GSS_S_FAILURE, "gss_import_cred: out of memory");
    }
    OM_uint32 major = GSS_S_COMPLETE;
    const char *what = nullptr;
    PemBlock first;
    if (read_block(bio, first, is_certificate) != 1 || !(cred->cert = parse_certificate(first))) {
        major = GSS_S_DEFECTIVE_CREDENTIAL;
        what = "gss_import_cred: no certificate at the start of the buffer";
    } else {
        cred->key = read_private_key(bio, cred->cert);
        if (!cred->key) {
            major = GSS_S_DEFECTIVE_CREDENTIAL;
            what = "gss_import_cred: no unencrypted private key after the certificate";
        } else if (X509_check_private_key(cred->cert, cred->key) != 1) {
            major = GSS_S_DEFECTIVE_CREDENTIAL;
            what = "gss_import_cred: the private key does not match the certificate";
        }
    }
    while (major == GSS_S_COMPLETE) {
        PemBlock block;
        int got = read_block(bio, block, is_certificate);
        if (got == 0)
            break;  // the clean end of the buffer
        if (got == 1 && block.same_bytes(first))
            continue;  // the leaf again, as the chain repeats it
        X509 *x = got == 1 ? parse_certificate(block) : nullptr;
        if (!x) {
            major = GSS_S_DEFECTIVE_CREDENTIAL;
            what = "gss_import_cred: malformed certificate after the key";
            break;
        }
        try {
            cred->extra.push_back(x);
        } catch (const std::bad_alloc &) {
            X509_free(x);
            major = GSS_S_FAILURE;
            what = "gss_import_cred: out of memory";
        }
    }
    BIO_free(bio);
    if (major != GSS_S_COMPLETE) {
        delete cred;
        return fail(minor_status, major, what);
    }
    if (time_rec) {
        int days = 0, secs = 0;
        OM_uint32 left = 0;
        if (ASN1_TIME_diff(&days, &secs, nullptr, X509_get0_notAfter(cred->cert)) && (days > 0 || secs > 0)) {
            long long total = static_cast<long long>(days) * 86400 + secs;
            left = total > 0xffffffffLL ? 0xffffffffu : static_cast<OM_uint32>(total);
        }
        *time_rec = left;
    }
    *output_cred_handle = cred;
    return GSS_S_COMPLETE;
}

OM_uint32 gss_export_cred(OM_uint32 *minor_status, const gss_cred_id_t cred_handle,
                          const gss_OID desired_mech, OM_uint32 option_req, gss_buffer_t export_buffer)
{
    if (minor_status)
        *minor_status = 0;
    if (!export_buffer)
        return fail(minor_status, GSS_S_FAILURE, "gss_export_cred: no output buffer");
    export_buffer->length = 0;
    export_buffer->value = nullptr;
    if (cred_handle == GSS_C_NO_CREDENTIAL)
        return fail(minor_status, GSS_S_NO_CRED, "gss_export_cred: no credential");
    if (desired_mech != GSS_C_NO_OID || option_req != GSS_IMPEXP_OPAQUE_FORM)
        return fail(minor_status, GSS_S_FAILURE, "gss_export_cred: only the opaque form is supported");
    if (!cred_handle->exported.empty()) {
        void *copy = std::malloc(cred_handle->exported.size());
        if (!copy)
            return fail(minor_status, GSS_S_FAILURE, "gss_export_cred: out of memory");
        std::memcpy(copy, cred_handle->exported.data(), cred_handle->exported.size());
        export_buffer->value = copy;
        export_buffer->length = cred_handle->exported.size();
        return GSS_S_COMPLETE;
    }
    BIO *bio = BIO_new(BIO_s_mem());
    if (!bio)
        return fail(minor_status, GSS_S_FAILURE, "gss_export_cred: BIO_new failed");
    bool ok = PEM_write_bio_X509(bio, cred_handle->cert) == 1 &&
              PEM_write_bio_PrivateKey(bio, cred_handle->key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    for (X509 *x : cred_handle->extra) ok = ok && PEM_write_bio_X509(bio, x) == 1;
    char *data = nullptr;
    long len = ok ? BIO_get_mem_data(bio, &data) : 0;
    if (!ok || len <= 0) {
        BIO_free(bio);
        return fail(minor_status, GSS_S_FAILURE, "gss_export_cred: PEM output failed");
    }
    void *copy = std::malloc(static_cast<size_t>(len));
    if (!copy) {
        BIO_free(bio);
        return fail(minor_status, GSS_S_FAILURE, "gss_export_cred: out of memory");
    }
    std::memcpy(copy, data, static_cast<size_t>(len));
    BIO_free(bio);
    export_buffer->value = copy;
    export_buffer->length = static_cast<size_t>(len);
    return GSS_S_COMPLETE;
}

OM_uint32 gss_release_cred(OM_uint32 *minor_status, gss_cred_id_t *cred_handle)
{
    if (minor_status)
        *minor_status = 0;
    if (!cred_handle || *cred_handle == GSS_C_NO_CREDENTIAL)
        return GSS_S_COMPLETE;
    gss_cred_id_t c = *cred_handle;
    *cred_handle = GSS_C_NO_CREDENTIAL;
    if (c->refs.fetch_sub(1) == 1)
        delete c;
    return GSS_S_COMPLETE;
}

OM_uint32 gss_release_buffer(OM_uint32 *minor_status, gss_buffer_t buffer)
{
    if (minor_status)
        *minor_status = 0;
    if (buffer) {
        if (buffer->value) {
            // The buffer may hold a private key: wipe it before release.
            OPENSSL_cleanse(buffer->value, buffer->length);
            std::free(buffer->value);
        }
        buffer->value = nullptr;
        buffer->length = 0;
    }
    return GSS_S_COMPLETE;
}

OM_uint32 kalder_gsi_cred_from_pair(OM_uint32 *minor_status, x509_st *cert, evp_pkey_st *key,
                                    gss_cred_id_t *output_cred_handle)
{
    if (minor_status)
        *minor_status = 0;
    if (!output_cred_handle)
        return fail(minor_status, GSS_S_FAILURE, "kalder_gsi_cred_from_pair: no output handle");
    *output_cred_handle = GSS_C_NO_CREDENTIAL;
    if (!cert || !key)
        return fail(minor_status, GSS_S_DEFECTIVE_CREDENTIAL,
                    "kalder_gsi_cred_from_pair: no certificate or key");
    if (X509_check_private_key(cert, key) != 1)
        return fail(minor_status, GSS_S_DEFECTIVE_CREDENTIAL,
                    "kalder_gsi_cred_from_pair: the private key does not match the certificate");
    auto *cred = new (std::nothrow) gss_cred_id_struct;
    if (!cred)
        return fail(minor_status, GSS_S_FAILURE, "kalder_gsi_cred_from_pair: out of memory");
    X509_up_ref(cert);
    EVP_PKEY_up_ref(key);
    cred->cert = cert;
    cred->key = key;
    // Written once here, so that every export of this credential (one per
    // session it is delegated to) only copies it.
    BIO *bio = BIO_new(BIO_s_secmem());
    char *data = nullptr;
    long len = 0;
    if (bio && PEM_write_bio_X509(bio, cert) == 1 &&
        PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1)
        len = BIO_get_mem_data(bio, &data);
    try {
        if (len > 0)
            cred->exported.assign(data, static_cast<size_t>(len));
    } catch (const std::bad_alloc &) {
        len = 0;
    }
    BIO_free(bio);
    if (len <= 0) {
        delete cred;
        return fail(minor_status, GSS_S_FAILURE, "kalder_gsi_cred_from_pair: PEM output failed");
    }
    *output_cred_handle = cred;
    return GSS_S_COMPLETE;
}

gss_cred_id_t kalder_gsi_cred_ref(gss_cred_id_t cred)
{
    if (cred)
        cred->refs.fetch_add(1);
    return cred;
}

x509_st *kalder_gsi_cred_cert(gss_cred_id_t cred)
{
    return cred ? cred->cert : nullptr;
}

evp_pkey_st *kalder_gsi_cred_key(gss_cred_id_t cred)
{
    return cred ? cred->key : nullptr;
}
