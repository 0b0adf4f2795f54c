// Helpers shared by the toolkit and back-end tests.
#ifndef KALDER_TOOLKIT_TESTING_H
#define KALDER_TOOLKIT_TESTING_H

#include <string>

#include "kalder_common.h"
#include "kalder_gssapi_gsi.h"

namespace kt {

// A fresh RSA key with a self-signed certificate, as PEM text in the order
// the data channel uses: certificate, private key, certificate.
// key "RSA" (2048) or "EC" (P-256, as the module makes them).
std::string make_credential_pem(const char *cn = "Kalder DCSC Cert", const char *key = "RSA");
// The same, imported; the caller releases it with gss_release_cred.
gss_cred_id_t make_credential(const char *cn = "Kalder DCSC Cert");
// The friendly text of a result ("" for success).
std::string error_text(kalder_result_t result);

}  // namespace kt

#endif
