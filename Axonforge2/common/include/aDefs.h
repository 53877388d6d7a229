#ifndef AXONFORGE2_ADEFS_H
#define AXONFORGE2_ADEFS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Display name of a module model number; "Unknown" for numbers without a product.
// BIRD files carry exactly these names as their model text.
const char* aDefs_GetModelName(uint32_t model);

#ifdef __cplusplus
}
#endif

#endif
