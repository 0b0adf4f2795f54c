#include "toolkit_testing.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>

namespace kt {

std::string make_credential_pem(const char *cn, const char *key_type)
{
    EVP_PKEY *key = std::string(key_type) == "EC"
                        ? EVP_EC_gen("P-256")
                        : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    X509 *x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 0);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 604800);
    X509_set_pubkey(x, key);
    X509_NAME *name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("US"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(cn), -1, -1,
                               0);
    X509_set_issuer_name(x, name);
    X509_sign(x, key, EVP_sha256());
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, x);
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    PEM_write_bio_X509(bio, x);
    char *data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(len));
    BIO_free(bio);
    X509_free(x);
    EVP_PKEY_free(key);
    return pem;
}

gss_cred_id_t make_credential(const char *cn)
{
    std::string pem = make_credential_pem(cn);
    gss_buffer_desc buf{pem.size(), pem.data()};
    OM_uint32 minor = 0;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    gss_import_cred(&minor, &cred, GSS_C_NO_OID, GSS_IMPEXP_OPAQUE_FORM, &buf, 0, nullptr);
    return cred;
}

std::string error_text(kalder_result_t result)
{
    char *t = kalder_error_print_friendly(kalder_error_peek(result));
    std::string s = t ? t : "";
    std::free(t);
    return s;
}

}  // namespace kt
