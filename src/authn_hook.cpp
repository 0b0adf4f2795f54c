// Authentication hook: bearer tokens and the browser login cookie.
#define KALDER_SOURCE "authn_hook"
#include "kalder.h"

int mod_kalder_authn_hook(request_rec *)
{
    return DECLINED;
}
