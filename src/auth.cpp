// Identity-service calls (introspection, dependent tokens, code exchange)
// and identity sets.
#define KALDER_SOURCE "auth"
#include "kalder.h"

// ---------------------------------------------------------------------------
// Token introspection

// ---------------------------------------------------------------------------
// Dependent tokens

// ---------------------------------------------------------------------------
// Authorization code exchange

// ---------------------------------------------------------------------------
// Identity sets
