// Placeholder until this concern is built: every routine answers not supported.

#include "fileref/fileref.h"

int32_t yxlznam(int32_t, int32_t, const name_part*, const name_part*, const name_part*, const name_part*, char*, name_part*, name_part*, char*) { return kStatusNotSupported; }
int32_t yxlpnam(const char*, char*) { return kStatusNotSupported; }
int32_t yxlval(const char*) { return kStatusNotSupported; }
