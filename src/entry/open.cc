// Placeholder until this concern is built: every routine answers not supported.

#include "entry/entry.h"

int32_t yxlopn(file_handle**, const char*, int32_t, open_request*) { return kStatusNotSupported; }
int32_t yxlzdme(const char*, name_part*, char*, int32_t) { return kStatusNotSupported; }
int32_t finish_open(file_handle*, option_block*) { return kStatusNotSupported; }
