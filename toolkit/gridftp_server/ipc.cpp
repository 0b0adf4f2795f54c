#include "kalder_gridftp_server.h"

kalder_module_descriptor_t kalder_i_gfs_module_desc = {"kalder_gridftp_server", nullptr, nullptr, 0};

kalder_result_t kalder_gfs_ipc_init(int)
{
    return KALDER_SUCCESS;
}
