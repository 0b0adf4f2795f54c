// The module record, and the log mark of the shell's own log lines.
//
// Every source file of the module defines KALDER_SOURCE (its area name)
// before including this header; log lines carry it as their source
// through KALDER_MARK.
#ifndef KALDER_HTTPD_MODULE_H
#define KALDER_HTTPD_MODULE_H

#include "httpd.h"
#include "http_config.h"
#include "http_log.h"

extern "C" module AP_MODULE_DECLARE_DATA kalder_module;

#ifdef KALDER_SOURCE
APLOG_USE_MODULE(kalder);
#define KALDER_MARK KALDER_SOURCE, __LINE__, APLOG_MODULE_INDEX
#endif

#endif
