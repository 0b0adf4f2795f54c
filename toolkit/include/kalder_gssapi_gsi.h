// kalder_gssapi_gsi: credentials of the GSI driver.
#ifndef KALDER_GSSAPI_GSI_H
#define KALDER_GSSAPI_GSI_H

#include "kalder_common.h"

extern kalder_module_descriptor_t kalder_i_gsi_gssapi_module_desc;
#define kalder_i_gsi_gssapi_module (&kalder_i_gsi_gssapi_module_desc)

#endif
