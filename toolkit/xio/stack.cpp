// Drivers, stacks and attributes of the data channel.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdarg>
#include <cstring>
#include <new>

#include "xio_internal.h"

using namespace xio_detail;

kalder_module_descriptor_t kalder_i_xio_module_desc = {"kalder_xio", nullptr, nullptr, 0};

// --- drivers and stacks -------------------------------------------------------

kalder_result_t kalder_xio_driver_load(const char *name, kalder_xio_driver_t *driver)
{
    if (!driver || !name)
        return error(KALDER_ERROR_PARAMETER, "driver load: null argument");
    DriverKind kind;
    if (std::strcmp(name, "tcp") == 0)
        kind = TCP;
    else if (std::strcmp(name, "gsi") == 0)
        kind = GSI;
    else
        return error(KALDER_ERROR_PARAMETER, "unknown driver \"%.64s\"", name);
    *driver = new (std::nothrow) kalder_xio_driver_s{kind};
    return *driver ? KALDER_SUCCESS : error(KALDER_ERROR_MEMORY, "out of memory");
}

kalder_result_t kalder_xio_driver_unload(kalder_xio_driver_t driver)
{
    delete driver;
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_stack_init(kalder_xio_stack_t *stack, kalder_xio_attr_t)
{
    if (!stack)
        return error(KALDER_ERROR_PARAMETER, "stack init: null argument");
    *stack = new (std::nothrow) kalder_xio_stack_s;
    return *stack ? KALDER_SUCCESS : error(KALDER_ERROR_MEMORY, "out of memory");
}

kalder_result_t kalder_xio_stack_push_driver(kalder_xio_stack_t stack, kalder_xio_driver_t driver)
{
    if (!stack || !driver)
        return error(KALDER_ERROR_PARAMETER, "stack push: null argument");
    if (stack->drivers.size() >= 2)
        return error(KALDER_ERROR_PARAMETER, "stack push: at most two drivers");
    stack->drivers.push_back(driver);
    return KALDER_SUCCESS;
}

kalder_result_t kalder_xio_stack_destroy(kalder_xio_stack_t stack)
{
    delete stack;
    return KALDER_SUCCESS;
}

// --- attributes -----------------------------------------------------------------

kalder_result_t kalder_xio_attr_init(kalder_xio_attr_t *attr)
{
    if (!attr)
        return error(KALDER_ERROR_PARAMETER, "attr init: null argument");
    *attr = new (std::nothrow) kalder_xio_attr_s;
    return *attr ? KALDER_SUCCESS : error(KALDER_ERROR_MEMORY, "out of memory");
}

kalder_result_t kalder_xio_attr_cntl(kalder_xio_attr_t attr, kalder_xio_driver_t driver, int cmd, ...)
{
    if (!attr)
        return error(KALDER_ERROR_PARAMETER, "attr cntl: null attribute");
    va_list ap;
    va_start(ap, cmd);
    kalder_result_t res = KALDER_SUCCESS;
    if (!driver) {
        if (cmd == KALDER_XIO_ATTR_SET_TIMEOUT) {
            int ms = va_arg(ap, int);
            if (ms < 0)
                res = error(KALDER_ERROR_PARAMETER, "negative timeout %d", ms);
            else
                attr->setup_timeout_ms = attr->io_timeout_ms = ms;
        } else {
            res = error(KALDER_ERROR_PARAMETER, "unknown attribute command %d without a driver", cmd);
        }
    } else if (driver->kind == TCP) {
        switch (cmd) {
            case KALDER_XIO_TCP_SET_INTERFACE: {
                const char *iface = va_arg(ap, const char *);
                in6_addr a6;
                in_addr a4;
                if (!iface || (inet_pton(AF_INET, iface, &a4) != 1 && inet_pton(AF_INET6, iface, &a6) != 1))
                    res = error(KALDER_ERROR_PARAMETER, "interface \"%.64s\" is not a numeric address",
                                iface ? iface : "(null)");
                else
                    attr->interface = iface;
                break;
            }
            case KALDER_XIO_TCP_SET_NO_IPV6:
                attr->no_ipv6 = va_arg(ap, int) != 0;
                break;
            default:
                res = error(KALDER_ERROR_PARAMETER, "unknown tcp attribute command %d", cmd);
        }
    } else {
        switch (cmd) {
            case KALDER_XIO_GSI_SET_CREDENTIAL: {
                gss_cred_id_t cred = va_arg(ap, gss_cred_id_t);
                if (cred == GSS_C_NO_CREDENTIAL) {
                    res = error(KALDER_ERROR_PARAMETER, "no credential given");
                } else {
                    OM_uint32 minor;
                    gss_release_cred(&minor, &attr->cred);
                    attr->cred = kalder_gsi_cred_ref(cred);
                }
                break;
            }
            case KALDER_XIO_GSI_SET_SSL_COMPATIBLE:
                (void)va_arg(ap, int);
                break;
            case KALDER_XIO_GSI_SET_PROTECTION_LEVEL: {
                int level = va_arg(ap, int);
                if (level != KALDER_XIO_GSI_PROTECTION_LEVEL_PRIVACY)
                    res = error(KALDER_ERROR_PARAMETER,
                                "protection level %d is not supported (only privacy, 2)", level);
                break;
            }
            case KALDER_XIO_GSI_SET_AUTHORIZATION_MODE: {
                int mode = va_arg(ap, int);
                if (mode != KALDER_XIO_GSI_SELF_AUTHORIZATION)
                    res = error(KALDER_ERROR_PARAMETER,
                                "authorization mode %d is not supported (only self, 1)", mode);
                break;
            }
            default:
                res = error(KALDER_ERROR_PARAMETER, "unknown gsi attribute command %d", cmd);
        }
    }
    va_end(ap);
    return res;
}

kalder_result_t kalder_xio_attr_destroy(kalder_xio_attr_t attr)
{
    if (attr) {
        OM_uint32 minor;
        gss_release_cred(&minor, &attr->cred);
        delete attr;
    }
    return KALDER_SUCCESS;
}
