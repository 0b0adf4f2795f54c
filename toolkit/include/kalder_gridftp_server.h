// kalder_gridftp_server: the IPC client of the back-end data server.
#ifndef KALDER_GRIDFTP_SERVER_H
#define KALDER_GRIDFTP_SERVER_H

#include "kalder_common.h"

extern kalder_module_descriptor_t kalder_i_gfs_module_desc;
#define kalder_i_gfs_module (&kalder_i_gfs_module_desc)

kalder_result_t kalder_gfs_ipc_init(int requester);

#endif
