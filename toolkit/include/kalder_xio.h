// kalder_xio: driver stacks ("tcp" below "gsi"), servers and handles.
#ifndef KALDER_XIO_H
#define KALDER_XIO_H

#include "kalder_common.h"

extern kalder_module_descriptor_t kalder_i_xio_module_desc;
#define kalder_i_xio_module (&kalder_i_xio_module_desc)

struct kalder_xio_driver_s;
struct kalder_xio_stack_s;
struct kalder_xio_attr_s;
using kalder_xio_driver_t = kalder_xio_driver_s *;
using kalder_xio_stack_t = kalder_xio_stack_s *;
using kalder_xio_attr_t = kalder_xio_attr_s *;

kalder_result_t kalder_xio_driver_load(const char *name, kalder_xio_driver_t *driver);
kalder_result_t kalder_xio_driver_unload(kalder_xio_driver_t driver);
kalder_result_t kalder_xio_stack_init(kalder_xio_stack_t *stack, kalder_xio_attr_t attr);
kalder_result_t kalder_xio_stack_push_driver(kalder_xio_stack_t stack, kalder_xio_driver_t driver);
kalder_result_t kalder_xio_stack_destroy(kalder_xio_stack_t stack);

#endif
