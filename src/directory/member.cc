// Placeholder until this concern is built: every routine answers not supported.

#include "directory/directory.h"

int32_t yxlmopn(file_handle**, dir_handle*, const char*, int32_t, const char*, open_request*) { return kStatusNotSupported; }
