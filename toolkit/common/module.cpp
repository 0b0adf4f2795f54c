#include "kalder_common.h"

#include <cstring>

kalder_module_descriptor_t kalder_i_common_module_desc = {"kalder_common", nullptr, nullptr, 0};

int kalder_thread_set_model(const char *model)
{
    // Only POSIX threads are supported.
    return model && std::strcmp(model, "pthread") == 0 ? 0 : 1;
}

int kalder_module_activate(kalder_module_descriptor_t *module)
{
    if (!module)
        return 1;
    if (module->active_count++ == 0 && module->activate)
        return module->activate();
    return 0;
}

int kalder_module_deactivate(kalder_module_descriptor_t *module)
{
    if (!module || module->active_count == 0)
        return 1;
    if (--module->active_count == 0 && module->deactivate)
        return module->deactivate();
    return 0;
}
