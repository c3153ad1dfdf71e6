// The whole binary contract between the VUVOROZO module and a host that
// loads it. A host includes this header (or the ones it names) and nothing
// else of the module.

#ifndef VUVOROZO_VUVOROZO_H_
#define VUVOROZO_VUVOROZO_H_

#include "vuvorozo/host.h"
#include "vuvorozo/module.h"
#include "vuvorozo/services.h"
#include "vuvorozo/status.h"
#include "vuvorozo/text.h"

#endif  // VUVOROZO_VUVOROZO_H_
