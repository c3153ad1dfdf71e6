// Placeholder until this concern is built: every routine answers not supported.

#include "entry/entry.h"

int32_t yxlzdfa(file_handle*, option_block*) { return kStatusNotSupported; }
