// Placeholder until this concern is built: every routine answers not supported.

#include "fileref/fileref.h"

int32_t yxlasgn(const char*, int32_t, const char*, const char*, int32_t, option_block*) { return kStatusNotSupported; }
int32_t yxldasg(const char*, int32_t) { return kStatusNotSupported; }
int32_t yxlexl(const char*, int32_t) { return kStatusNotSupported; }
int32_t yxlnxt(fileref_node**, char*, int32_t, const char**, int32_t*) { return kStatusNotSupported; }
int32_t yxlasl(const char*, int32_t, const char*, const char*, int32_t, const char*, int32_t, int32_t, option_block*) { return kStatusNotSupported; }
int32_t yxlhbfr(const char*, int32_t, option_block*) { return kStatusNotSupported; }
int32_t yxlzl2l(const char*, amec_block**, fileref_node**, int32_t) { return kStatusNotSupported; }
void fileref_opened(fileref_node*) {}
void fileref_closed(fileref_node*) {}
