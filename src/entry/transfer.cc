// Placeholder until this concern is built: every routine answers not supported.

#include "entry/entry.h"

int32_t yxlread(file_handle*, char**, int32_t*, char*) { return kStatusNotSupported; }
int32_t yxlwrit(file_handle*, const char*, int32_t, int32_t) { return kStatusNotSupported; }
int32_t yxlrds(file_handle*, char**, int32_t*, char*) { return kStatusNotSupported; }
int32_t yxlwrt(file_handle*, const char*, int32_t, int32_t) { return kStatusNotSupported; }
int32_t yxlnote(file_handle*, void*) { return kStatusNotSupported; }
int32_t yxlpnt(file_handle*, void*) { return kStatusNotSupported; }
int32_t yxlflsh(file_handle*) { return kStatusNotSupported; }
int32_t yxlamvc(file_handle*, io_vector**) { return kStatusNotSupported; }
