// The data channel's per-request credential: a fresh key and a self-signed
// certificate, written as certificate/key/certificate PEM and imported into
// the toolkit. Each credential serves exactly one request.
//
// Making one costs about 0.6 ms of CPU with a P-256 key (OpenSSL's encoders
// and decoders, more than the key itself) and about 150 ms with RSA-2048.
// Each server process keeps a few whole credentials ready, made by one
// background thread at low priority; a request takes one, and the thread
// makes the next once no request of the process is being served. A request
// that finds none ready makes its own.
#ifndef KALDER_CORE_CREDENTIAL_H
#define KALDER_CORE_CREDENTIAL_H

#include "kalder_gssapi_gsi.h"
#include "server_config.h"

// Where the making of a credential failed; the OpenSSL error queue (or, for
// DCSC_FAILED_IMPORT, the toolkit error `minor`) says why.
enum DcscFailure {
    DCSC_OK = 0,
    DCSC_FAILED_KEY,
    DCSC_FAILED_CERTIFICATE,
    DCSC_FAILED_PEM,
    DCSC_FAILED_IMPORT,
};

struct DcscBuild {
    gss_cred_id_t credential = GSS_C_NO_CREDENTIAL;  // owned by the caller
    DcscFailure failure = DCSC_OK;
    OM_uint32 minor = 0;
};

// Makes one credential with a key of `type` (P-256 unless RSA2048).
DcscBuild dcsc_build(DataChannelKey type);

// A ready credential of `type`, owned by the caller, or GSS_C_NO_CREDENTIAL
// when none is ready (the pool is then asked to refill). Either way the
// caller counts as a request being served until dcsc_pool_request_done().
gss_cred_id_t dcsc_pool_take(DataChannelKey type);

// The request that called dcsc_pool_take() has ended.
void dcsc_pool_request_done();

// Sets the number of credentials per key type each process keeps (0: no
// pool) and lets the filler start with the first take. Called per child.
void dcsc_pool_start(int capacity);

// Stops the filler and releases the ready credentials.
void dcsc_pool_stop();

// Ready credentials of `type` (for tests and diagnostics).
int dcsc_pool_depth(DataChannelKey type);

#endif
