#include "kalder_xio.h"

#include <cstring>
#include <new>
#include <vector>

kalder_module_descriptor_t kalder_i_xio_module_desc = {"kalder_xio", nullptr, nullptr, 0};

struct kalder_xio_driver_s {
    const char *name;
};

struct kalder_xio_stack_s {
    std::vector<kalder_xio_driver_t> drivers;  // bottom first
};

kalder_result_t kalder_xio_driver_load(const char *name, kalder_xio_driver_t *driver)
{
    static const char *const known[] = {"tcp", "gsi"};
    for (const char *k : known) {
        if (name && std::strcmp(name, k) == 0) {
            *driver = new (std::nothrow) kalder_xio_driver_s{k};
            return *driver ? KALDER_SUCCESS : 1;
        }
    }
    return 1;
}

kalder_result_t kalder_xio_driver_unload(kalder_xio_driver_t driver)
{
    delete driver;
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_stack_init(kalder_xio_stack_t *stack, kalder_xio_attr_t)
{
    *stack = new (std::nothrow) kalder_xio_stack_s;
    return *stack ? KALDER_SUCCESS : 1;
}

kalder_result_t kalder_xio_stack_push_driver(kalder_xio_stack_t stack, kalder_xio_driver_t driver)
{
    if (!stack || !driver)
        return 1;
    stack->drivers.push_back(driver);
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_stack_destroy(kalder_xio_stack_t stack)
{
    delete stack;
    return KALDER_SUCCESS;
}
