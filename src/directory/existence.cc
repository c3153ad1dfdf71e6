// Placeholder until this concern is built: every routine answers not supported.

#include "directory/directory.h"

int32_t yxlexp(const char*, int32_t) { return kStatusNotSupported; }
int32_t yxldel(const char*, int32_t) { return kStatusNotSupported; }
