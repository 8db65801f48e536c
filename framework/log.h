#pragma once

#include <string>

// A line's syslog priority. The journal reads it from a "<N>" at the start of
// each line of a stream it collects; a line without one is taken as info.
enum class LogPriority : int { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// Whether `journal_stream` (JOURNAL_STREAM's value, "DEVICE:INODE" in decimal,
// as systemd sets it for a service) names the file that `fd` is open on.
bool names_stream_of(const char* journal_stream, int fd);

// "<N>" for a line of `priority` written to `fd` when that is the journal's
// stream, else "". Standard output and standard error are looked at once.
std::string journal_prefix(int fd, LogPriority priority);

// Writes one whole line (text plus a line end) to standard output in a single
// write and flushes it, so lines from the sampling thread and a host thread
// never interleave within a line. In the journal the line starts with its
// priority; anywhere else it is written as given.
void log_line(const std::string& text, LogPriority priority = LogPriority::Info);
