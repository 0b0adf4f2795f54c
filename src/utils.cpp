// Shared helpers: the HTTPS exchange, JSON field access, request state and
// classification, and sealed values.
#define KALDER_SOURCE "utils"
#include "kalder.h"

// ---------------------------------------------------------------------------
// HTTPS exchange

// ---------------------------------------------------------------------------
// JSON field access

// ---------------------------------------------------------------------------
// Request state and classification

// ---------------------------------------------------------------------------
// Sealed values
