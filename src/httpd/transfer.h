// Effective permissions of a guest collection for the request at hand
// (acl.h holds the request-free forms).
#ifndef KALDER_HTTPD_TRANSFER_H
#define KALDER_HTTPD_TRANSFER_H

#include "acl.h"
#include "httpd.h"

// 0 with the document, 1 when the caller's token expired, 2 on failure; a
// null token asks for the anonymous permissions.
int transfer_get_acls(request_rec *r, const char *token, AclDoc **out);
AclDoc *parse_acl_doc(request_rec *r, const json_t *doc);
// The request's method and path against the document.
AclPermit transfer_acls_permit(request_rec *r, const AclDoc *acls);

#endif
