// kalder_xio: driver stacks ("tcp" below "gsi"), attributes, servers and
// handles of the data channel.
//
// The "tcp" driver carries bytes over a TCP connection; the "gsi" driver on
// top of it protects them with TLS 1.3, both ends presenting the
// credential's certificate and key and authenticating each other, with
// privacy protection (encryption). Its one authorization mode, "self",
// accepts only a peer that presents exactly the certificate of our own
// credential; any other peer is refused during the handshake.
//
// Every call here is synchronous and runs on the caller's thread; the
// library has no callbacks. A handle or server is used by one thread at a
// time. Writes never raise SIGPIPE on a broken connection: they fail.
#ifndef KALDER_XIO_H
#define KALDER_XIO_H

#include <cstddef>

#include "kalder_common.h"
#include "kalder_gssapi_gsi.h"

extern kalder_module_descriptor_t kalder_i_xio_module_desc;
#define kalder_i_xio_module (&kalder_i_xio_module_desc)

struct kalder_xio_driver_s;
struct kalder_xio_stack_s;
struct kalder_xio_attr_s;
struct kalder_xio_server_s;
struct kalder_xio_handle_s;
struct kalder_xio_data_descriptor_s;
using kalder_xio_driver_t = kalder_xio_driver_s *;
using kalder_xio_stack_t = kalder_xio_stack_s *;
using kalder_xio_attr_t = kalder_xio_attr_s *;
using kalder_xio_server_t = kalder_xio_server_s *;
using kalder_xio_handle_t = kalder_xio_handle_s *;
using kalder_xio_data_descriptor_t = kalder_xio_data_descriptor_s *;  // always null

// --- drivers and stacks ----------------------------------------------------

// Load a driver by name: "tcp" or "gsi". Unknown names fail.
kalder_result_t kalder_xio_driver_load(const char *name, kalder_xio_driver_t *driver);
kalder_result_t kalder_xio_driver_unload(kalder_xio_driver_t driver);
// A stack lists drivers bottom first. The only stacks that can carry data
// are "tcp" alone and "tcp" then "gsi". attr is ignored (may be null).
kalder_result_t kalder_xio_stack_init(kalder_xio_stack_t *stack, kalder_xio_attr_t attr);
kalder_result_t kalder_xio_stack_push_driver(kalder_xio_stack_t stack, kalder_xio_driver_t driver);
kalder_result_t kalder_xio_stack_destroy(kalder_xio_stack_t stack);

// --- attributes --------------------------------------------------------------

// Commands of kalder_xio_attr_cntl, each followed by its one argument.
// The "tcp" driver:
inline constexpr int KALDER_XIO_TCP_SET_INTERFACE = 10;              // const char *: numeric address to bind
inline constexpr int KALDER_XIO_TCP_SET_NO_IPV6 = 16;                // int (kalder_bool_t)
inline constexpr int KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT = 35;  // char ** (server_cntl/handle_cntl)
// The "gsi" driver:
inline constexpr int KALDER_XIO_GSI_SET_CREDENTIAL = 0;          // gss_cred_id_t (a reference is taken)
inline constexpr int KALDER_XIO_GSI_SET_AUTHORIZATION_MODE = 6;  // int: kalder_xio_gsi_authorization_mode
inline constexpr int KALDER_XIO_GSI_SET_SSL_COMPATIBLE =
    10;  // int (kalder_bool_t); accepted, TLS is always used
inline constexpr int KALDER_XIO_GSI_SET_PROTECTION_LEVEL = 16;  // int: kalder_xio_gsi_protection_level
// Driver-independent (driver argument null):
inline constexpr int KALDER_XIO_ATTR_SET_TIMEOUT = 1000;  // int: milliseconds for connect, accept,
                                                          // handshake and each read/write wait; 0 = none

enum kalder_xio_gsi_protection_level {
    KALDER_XIO_GSI_PROTECTION_LEVEL_NONE = 0,       // refused: the data channel is always private
    KALDER_XIO_GSI_PROTECTION_LEVEL_INTEGRITY = 1,  // refused likewise
    KALDER_XIO_GSI_PROTECTION_LEVEL_PRIVACY = 2,
};
enum kalder_xio_gsi_authorization_mode {
    KALDER_XIO_GSI_NO_AUTHORIZATION = 0,    // refused: the peer is always authorized
    KALDER_XIO_GSI_SELF_AUTHORIZATION = 1,  // the peer must present our own certificate
};

// An attribute set starts with: interface unset (all addresses), IPv6
// allowed, no credential, privacy, self authorization, timeout 60000 ms for
// connect/accept/handshake and none for reads and writes.
kalder_result_t kalder_xio_attr_init(kalder_xio_attr_t *attr);
// Set one value (commands above). `driver` must be the loaded driver the
// command belongs to (null for the driver-independent ones). Unknown
// commands, a driver of the wrong kind and values out of range are errors.
kalder_result_t kalder_xio_attr_cntl(kalder_xio_attr_t attr, kalder_xio_driver_t driver, int cmd, ...);
kalder_result_t kalder_xio_attr_destroy(kalder_xio_attr_t attr);

// --- servers -----------------------------------------------------------------

// Create a listening server on an ephemeral port of the attribute's
// interface (127.0.0.1 when none is set), with the attribute's settings
// copied (the attribute may be destroyed afterwards). With "gsi" on the
// stack the attribute must carry a credential.
kalder_result_t kalder_xio_server_create(kalder_xio_server_t *server, kalder_xio_attr_t attr,
                                         kalder_xio_stack_t stack);
// Query the server. KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT (driver = the
// tcp driver) gives a newly allocated "address:port" text ("[addr]:port"
// for IPv6), freed by the caller with free().
kalder_result_t kalder_xio_server_cntl(kalder_xio_server_t server, kalder_xio_driver_t driver, int cmd, ...);
// Wait for the next connection (up to the attribute's timeout) and make a
// handle for it. The handle is not usable until kalder_xio_open(handle,
// null, null) has run the handshake.
kalder_result_t kalder_xio_server_accept(kalder_xio_handle_t *handle, kalder_xio_server_t server);
// Stop listening and release the server. Handles accepted from it live on.
kalder_result_t kalder_xio_server_close(kalder_xio_server_t server);

// --- handles -----------------------------------------------------------------

// Make an unconnected client handle on a stack; kalder_xio_open connects it.
kalder_result_t kalder_xio_handle_create(kalder_xio_handle_t *handle, kalder_xio_stack_t stack);
// Open a handle. For an accepted handle (contact and attr null) this runs
// the server side of the handshake with the server's settings. For a
// created handle, contact is "host:port" (numeric or a name) and attr
// carries the settings (credential required with "gsi"); it connects and
// runs the client side of the handshake. On failure the handle stays
// allocated and must still be closed.
kalder_result_t kalder_xio_open(kalder_xio_handle_t handle, const char *contact_string,
                                kalder_xio_attr_t attr);
// Read into buffer until at least `waitforbytes` (at most `buflen`) bytes
// are there, then return what is available (never more than buflen) with
// the count in *nbytes. At the end of the data it returns an end-of-file
// error (kalder_xio_error_is_eof) -- but only when no byte was read by this
// call: bytes read before the end are returned with success, and the next
// call reports the end. With "gsi" the end is the peer's orderly TLS close;
// a connection cut without it is an error that is not end of file.
kalder_result_t kalder_xio_read(kalder_xio_handle_t handle, void *buffer, size_t buflen, size_t waitforbytes,
                                size_t *nbytes, kalder_xio_data_descriptor_t data_desc);

// Reads at least one byte (blocking like kalder_xio_read), then goes on
// reading, up to buflen, for as long as more data has already arrived: one
// call takes in what a fast sender has queued instead of one TLS record.
// The end of the data, or a failure, after some bytes ends the call with
// those bytes; the next call then reports the end or the failure.
kalder_result_t kalder_xio_read_available(kalder_xio_handle_t handle, void *buffer, size_t buflen,
                                          size_t *nbytes);
// Write `buflen` bytes (the whole buffer, whatever waitforbytes says; it
// must not exceed buflen). *nbytes is what was written, equal to buflen on
// success and possibly less on error.
kalder_result_t kalder_xio_write(kalder_xio_handle_t handle, const void *buffer, size_t buflen,
                                 size_t waitforbytes, size_t *nbytes, kalder_xio_data_descriptor_t data_desc);
// Query an open handle: KALDER_XIO_TCP_GET_LOCAL_NUMERIC_CONTACT as for
// servers.
kalder_result_t kalder_xio_handle_cntl(kalder_xio_handle_t handle, kalder_xio_driver_t driver, int cmd, ...);
// Shut the connection down from another thread: a read or write blocked on
// the handle (now or later) fails, and the close that must still follow
// sends no orderly close, so the peer sees an error rather than an end of
// file. Safe to call concurrently with a read or write on the handle.
kalder_result_t kalder_xio_handle_cancel(kalder_xio_handle_t handle);
// Close and release the handle. With "gsi" an orderly close is sent first,
// which the peer reads as end of file. attr is ignored (may be null).
kalder_result_t kalder_xio_close(kalder_xio_handle_t handle, kalder_xio_attr_t attr);

// True when the result is the end-of-file error of a read.
kalder_bool_t kalder_xio_error_is_eof(kalder_result_t result);

#endif
