// Placeholder until this concern is built: every routine answers not supported.

#include "fileref/fileref.h"

int32_t yxlpars(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t*, option_block**) { return kStatusNotSupported; }
int32_t yxlhh2p(int32_t, int32_t, const option_block*, option_block**, int32_t*) { return kStatusNotSupported; }
int32_t yxlhp2h(int32_t, int32_t, const void*, int32_t, option_block**) { return kStatusNotSupported; }
