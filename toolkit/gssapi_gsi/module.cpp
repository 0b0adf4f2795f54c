#include "kalder_gssapi_gsi.h"

kalder_module_descriptor_t kalder_i_gsi_gssapi_module_desc = {"kalder_gssapi_gsi", nullptr, nullptr, 0};
