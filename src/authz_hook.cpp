// The "kalderacl" authorization provider.
#define KALDER_SOURCE "authz_hook"
#include "kalder.h"

authz_status mod_kalder_authz_hook(request_rec *, const char *, const void *)
{
    return AUTHZ_NEUTRAL;
}
