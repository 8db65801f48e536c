#pragma once

// qrn-host's own lines: standard error for what goes wrong or changes,
// standard output for the devices' lines, each with its journal priority.
#include "log.h"

#include <string>

// One line on standard error, "qrn-host: <text>".
void say(const std::string& text, LogPriority priority);

// One line on standard output, flushed at once.
void out(const std::string& text, LogPriority priority = LogPriority::Info);
