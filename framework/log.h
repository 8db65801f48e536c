#pragma once

#include <string>

// Writes one whole line (text plus a line end) to standard output in a single
// write and flushes it, so lines from the sampling thread and a host thread
// never interleave within a line.
void log_line(const std::string& text);
