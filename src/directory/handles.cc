// Placeholder until this concern is built: every routine answers not supported.

#include "directory/directory.h"

int32_t yxldopn(dir_handle**, const char*, int32_t) { return kStatusNotSupported; }
int32_t yxldnxt(uint32_t*, dir_handle*, char*, int32_t*, char*) { return kStatusNotSupported; }
int32_t yxldcls(dir_handle*) { return kStatusNotSupported; }
int32_t yxldins(dir_handle*) { return kStatusNotSupported; }
int32_t yxldinf(dir_handle*) { return kStatusNotSupported; }
int32_t yxlmex(dir_handle*, const char*, int32_t, const char*) { return kStatusNotSupported; }
