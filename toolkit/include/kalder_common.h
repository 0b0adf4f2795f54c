// kalder_common: activation, threads and synchronisation, result codes and
// range lists shared by the other toolkit libraries.
#ifndef KALDER_COMMON_H
#define KALDER_COMMON_H

#include <cstdint>

// 0 is success; any other value designates an error object that
// kalder_error_peek() returns and kalder_error_print_friendly() describes.
using kalder_result_t = uintptr_t;
inline constexpr kalder_result_t KALDER_SUCCESS = 0;

struct kalder_module_descriptor_t {
    const char *name;
    int (*activate)();
    int (*deactivate)();
    int active_count;
};

extern kalder_module_descriptor_t kalder_i_common_module_desc;
#define kalder_i_common_module (&kalder_i_common_module_desc)

int kalder_thread_set_model(const char *model);
int kalder_module_activate(kalder_module_descriptor_t *module);
int kalder_module_deactivate(kalder_module_descriptor_t *module);

#endif
