// TLS ClientHello peek and connection hand-off.
#define KALDER_SOURCE "bucket_tls_peek"
#include "kalder.h"

int mod_kalder_insert_network_bucket(conn_rec *, apr_bucket_brigade *, apr_socket_t *)
{
    return DECLINED;
}
