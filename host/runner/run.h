#pragma once

// One run of the host: the stores opened, the module loaded, the devices
// started, then rounds until they are done or a signal stops them.
#include "options.h"

// Returns the exit status.
int run(const Options& options);
