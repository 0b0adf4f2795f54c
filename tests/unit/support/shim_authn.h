// Test controls of the authentication stand-ins (shim_authn.cpp).
#ifndef KALDER_SHIM_AUTHN_H
#define KALDER_SHIM_AUTHN_H

#include <string>
#include <vector>

#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"

namespace kalder::test {

// What AuthType and AuthName say for the location of every request;
// null for "not configured". Reset by reset_location().
void set_location_auth(const char *auth_type, const char *auth_name);
void reset_location();

// Names of the output filters added to any request since the last reset.
std::vector<std::string> &added_output_filters();

}  // namespace kalder::test

#endif
