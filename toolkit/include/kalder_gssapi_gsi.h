// kalder_gssapi_gsi: credentials of the GSI driver, with the few GSS-API
// style calls the data channel needs.
//
// A credential is an X.509 certificate with its private key (and optionally
// further certificates). It is reference-counted internally: the GSI driver
// takes its own reference when a server or handle is built from it, so the
// caller may release its handle as soon as it no longer needs it.
#ifndef KALDER_GSSAPI_GSI_H
#define KALDER_GSSAPI_GSI_H

#include <cstddef>
#include <cstdint>

#include "kalder_common.h"

extern kalder_module_descriptor_t kalder_i_gsi_gssapi_module_desc;
#define kalder_i_gsi_gssapi_module (&kalder_i_gsi_gssapi_module_desc)

using OM_uint32 = uint32_t;

struct gss_cred_id_struct;
using gss_cred_id_t = gss_cred_id_struct *;
#define GSS_C_NO_CREDENTIAL (static_cast<gss_cred_id_t>(nullptr))

struct gss_OID_desc {
    OM_uint32 length;
    void *elements;
};
using gss_OID = gss_OID_desc *;
#define GSS_C_NO_OID (static_cast<gss_OID>(nullptr))

struct gss_buffer_desc {
    size_t length;
    void *value;
};
using gss_buffer_t = gss_buffer_desc *;

// Major status values.
inline constexpr OM_uint32 GSS_S_COMPLETE = 0;
inline constexpr OM_uint32 GSS_S_BAD_MECH = 1u << 16;
inline constexpr OM_uint32 GSS_S_DEFECTIVE_CREDENTIAL = 10u << 16;
inline constexpr OM_uint32 GSS_S_NO_CRED = 7u << 16;
inline constexpr OM_uint32 GSS_S_FAILURE = 13u << 16;
#define GSS_ERROR(x) ((x) != GSS_S_COMPLETE)

// Import/export forms (option_req).
inline constexpr OM_uint32 GSS_IMPEXP_OPAQUE_FORM = 0;    // the buffer holds PEM text
inline constexpr OM_uint32 GSS_IMPEXP_MECH_SPECIFIC = 1;  // the buffer holds a file name (unsupported)

// Import a credential. With option_req GSS_IMPEXP_OPAQUE_FORM the buffer
// holds PEM text: a certificate, its unencrypted private key, then any
// further certificates (a repeat of the first certificate is allowed and
// ignored). The key must match the first certificate. desired_mech must be
// GSS_C_NO_OID; time_req is ignored; *time_rec (when given) receives the
// seconds left until the certificate expires (0 when already expired).
// On success *output_cred_handle is a new credential (release it with
// gss_release_cred) and GSS_S_COMPLETE is returned. On failure a GSS_S_*
// error is returned, *output_cred_handle is GSS_C_NO_CREDENTIAL, and
// *minor_status holds a toolkit result code describing the problem
// (kalder_error_print_friendly(kalder_error_peek(*minor_status))).
OM_uint32 gss_import_cred(OM_uint32 *minor_status, gss_cred_id_t *output_cred_handle,
                          const gss_OID desired_mech, OM_uint32 option_req, const gss_buffer_t import_buffer,
                          OM_uint32 time_req, OM_uint32 *time_rec);

// Export a credential in the opaque form that gss_import_cred reads (PEM:
// certificate, key, further certificates). The buffer is released with
// gss_release_buffer. desired_mech must be GSS_C_NO_OID, option_req
// GSS_IMPEXP_OPAQUE_FORM.
OM_uint32 gss_export_cred(OM_uint32 *minor_status, const gss_cred_id_t cred_handle,
                          const gss_OID desired_mech, OM_uint32 option_req, gss_buffer_t export_buffer);

// Release a credential handle and set it to GSS_C_NO_CREDENTIAL. Releasing
// GSS_C_NO_CREDENTIAL is a no-op returning GSS_S_COMPLETE.
OM_uint32 gss_release_cred(OM_uint32 *minor_status, gss_cred_id_t *cred_handle);

// Release a buffer filled by gss_export_cred; sets it to empty.
OM_uint32 gss_release_buffer(OM_uint32 *minor_status, gss_buffer_t buffer);

// --- for the GSI driver (not part of the GSS-API surface) -----------------
struct x509_st;
struct evp_pkey_st;
// Make a credential of a certificate and its private key without the PEM
// round trip of an import, which would parse both again; the caller keeps
// its own references. The export form is written here once, so that
// gss_export_cred only copies it. Fails (as gss_import_cred does, with
// GSS_S_DEFECTIVE_CREDENTIAL) when the key does not match the certificate.
OM_uint32 kalder_gsi_cred_from_pair(OM_uint32 *minor_status, x509_st *cert, evp_pkey_st *key,
                                    gss_cred_id_t *output_cred_handle);
// Take another reference on a credential; release it with gss_release_cred.
gss_cred_id_t kalder_gsi_cred_ref(gss_cred_id_t cred);
// The credential's own certificate and key (borrowed; valid while a
// reference is held).
x509_st *kalder_gsi_cred_cert(gss_cred_id_t cred);
evp_pkey_st *kalder_gsi_cred_key(gss_cred_id_t cred);

#endif
