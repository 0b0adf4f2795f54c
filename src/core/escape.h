// Percent-escaping of the values the gateway writes into texts others parse.
#ifndef KALDER_CORE_ESCAPE_H
#define KALDER_CORE_ESCAPE_H

#include "apr_pools.h"

// Every byte other than a letter, a digit or one of `kept` as "%" and two
// lower-case hexadecimal digits; a blank as "+" when `blank_as_plus`.
char *percent_escape(apr_pool_t *pool, const char *value, const char *kept, bool blank_as_plus);

// A value for a form body sent to the identity service: letters, digits and
// "$-_.!*'(),:;@/~" stay. That is the web server's partial path escaping
// plus '&', '=' and '+', which in a form body would end the field, start
// another one, or turn into a blank.
char *form_escape(apr_pool_t *pool, const char *value);

// A value in the back end's session user string, escaped as the web
// server escapes query values: letters, digits and ".-*_" stay, a blank
// becomes "+".
char *url_form_escape(apr_pool_t *pool, const char *value);

#endif
