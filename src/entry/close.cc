// Placeholder until this concern is built: every routine answers not supported.

#include "entry/entry.h"

int32_t yxlcls(file_handle*) { return kStatusNotSupported; }
int32_t yxlmcls(file_handle*) { return kStatusNotSupported; }
int32_t yxlinfo(file_handle*, const char*, int32_t, int32_t, int32_t, info_reply*) { return kStatusNotSupported; }
int32_t yxlins(file_handle*, info_item**) { return kStatusNotSupported; }
int32_t yxlinf(file_handle*, info_item*) { return kStatusNotSupported; }
