// Stand-ins for the server functions of cookies, query arguments, the
// per-location authentication settings and the error filter, written after
// the server's own behaviour (util_cookies.c, util_script.c, util.c,
// core.c). The integration tests exercise the real ones through the module.
#include "shim_authn.h"

#include <cstring>

#include "apr_lib.h"
#include "apr_strings.h"
#include "http_core.h"
#include "http_protocol.h"
#include "util_cookies.h"
#include "util_script.h"

namespace kalder::test {

namespace {
const char *location_auth_type = nullptr;
const char *location_auth_name = nullptr;
}  // namespace

void set_location_auth(const char *auth_type, const char *auth_name)
{
    location_auth_type = auth_type;
    location_auth_name = auth_name;
}

void reset_location()
{
    set_location_auth(nullptr, nullptr);
    added_output_filters().clear();
}

std::vector<std::string> &added_output_filters()
{
    static std::vector<std::string> names;
    return names;
}

}  // namespace kalder::test

const char *ap_auth_type(request_rec *)
{
    return kalder::test::location_auth_type;
}

const char *ap_auth_name(request_rec *)
{
    return kalder::test::location_auth_name;
}

// UseCanonicalName Off (the default): the client's Host, else ServerName.
__attribute__((weak)) const char *ap_get_server_name(request_rec *r)
{
    return r->hostname ? r->hostname : r->server->server_hostname;
}

__attribute__((weak)) ap_filter_t *ap_add_output_filter(const char *name, void *ctx, request_rec *r,
                                                        conn_rec *c)
{
    kalder::test::added_output_filters().push_back(name);
    auto *f = static_cast<ap_filter_t *>(apr_pcalloc(r ? r->pool : c->pool, sizeof(ap_filter_t)));
    f->ctx = ctx;
    f->r = r;
    f->c = c;
    return f;
}

__attribute__((weak)) void ap_set_content_type(request_rec *r, const char *ct)
{
    r->content_type = ct;
}

// Decodes %XX escapes in place; a malformed escape gives 400, an escape of
// "/" or NUL gives 404; decoding goes on to the end in both cases.
__attribute__((weak)) int ap_unescape_url(char *url)
{
    bool bad_escape = false;
    bool bad_path = false;
    char *y = std::strchr(url, '%');
    if (!y)
        return OK;
    char *x = y;
    for (; *y; ++x, ++y) {
        if (*y != '%') {
            *x = *y;
        } else if (!apr_isxdigit(y[1]) || !apr_isxdigit(y[2])) {
            bad_escape = true;
            *x = '%';
        } else {
            auto hex = [](char c) { return apr_isdigit(c) ? c - '0' : (apr_toupper(c) - 'A' + 10); };
            char decoded = static_cast<char>(hex(y[1]) * 16 + hex(y[2]));
            *x = decoded;
            y += 2;
            if (decoded == '\0' || decoded == '/')
                bad_path = true;
        }
    }
    *x = '\0';
    if (bad_escape)
        return HTTP_BAD_REQUEST;
    if (bad_path)
        return HTTP_NOT_FOUND;
    return OK;
}

// "a=1&b&c=%41": keys and values unescaped, a key without "=" gets "1",
// a later duplicate replaces an earlier one.
void ap_args_to_table(request_rec *r, apr_table_t **table)
{
    apr_table_t *t = apr_table_make(r->pool, 10);
    *table = t;
    if (!r->args)
        return;
    char *state = nullptr;
    for (char *key = apr_strtok(apr_pstrdup(r->pool, r->args), "&", &state); key;
         key = apr_strtok(nullptr, "&", &state)) {
        char *value = std::strchr(key, '=');
        if (value)
            *value++ = '\0';
        else
            value = apr_pstrdup(r->pool, "1");
        ap_unescape_url(key);
        ap_unescape_url(value);
        apr_table_set(t, key, value);
    }
}

apr_status_t ap_cookie_write(request_rec *r, const char *name, const char *val, const char *attrs,
                             long maxage, ...)
{
    const char *expiry = "";
    if (maxage) {
        char *expires = static_cast<char *>(apr_palloc(r->pool, APR_RFC822_DATE_LEN));
        apr_rfc822_date(expires, r->request_time + apr_time_from_sec(maxage));
        expiry = apr_pstrcat(r->pool, "Expires=", expires, ";", nullptr);
    }
    const char *cookie =
        apr_pstrcat(r->pool, name, "=", val, ";", expiry, attrs && *attrs ? attrs : nullptr, nullptr);
    va_list tables;
    va_start(tables, maxage);
    while (apr_table_t *t = va_arg(tables, apr_table_t *)) apr_table_addn(t, "Set-Cookie", cookie);
    va_end(tables);
    return APR_SUCCESS;
}

namespace {

struct CookieSearch {
    request_rec *r;
    const char *prefix;  // name "="
    const char *value;
    bool duplicated;
};

// One "Cookie" header: pairs separated by "," and ";", blanks before a
// name skipped; the same name twice with different values is refused.
int find_cookie(void *arg, const char *, const char *header)
{
    auto *search = static_cast<CookieSearch *>(arg);
    size_t prefix_length = std::strlen(search->prefix);
    char *outer_state = nullptr;
    for (char *part = apr_strtok(apr_pstrdup(search->r->pool, header), ",", &outer_state); part;
         part = apr_strtok(nullptr, ",", &outer_state)) {
        char *inner_state = nullptr;
        for (char *pair = apr_strtok(part, ";", &inner_state); pair;
             pair = apr_strtok(nullptr, ";", &inner_state)) {
            while (apr_isspace(*pair)) ++pair;
            if (std::strncmp(pair, search->prefix, prefix_length) != 0)
                continue;
            const char *value = pair + prefix_length;
            if (search->value && std::strcmp(search->value, value) != 0)
                search->duplicated = true;
            search->value = apr_pstrdup(search->r->pool, value);
        }
    }
    return 1;
}

}  // namespace

apr_status_t ap_cookie_read(request_rec *r, const char *name, const char **val, int remove)
{
    CookieSearch search{r, apr_pstrcat(r->pool, name, "=", nullptr), nullptr, false};
    apr_table_do(find_cookie, &search, r->headers_in, "Cookie", "Cookie2", nullptr);
    if (search.duplicated)
        return APR_EGENERAL;
    if (remove) {
        apr_table_unset(r->headers_in, "Cookie");
        apr_table_unset(r->headers_in, "Cookie2");
    }
    *val = search.value;
    return APR_SUCCESS;
}
