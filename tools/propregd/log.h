// propregd's own log: one time-stamped line per event, on stderr or in the
// file --log names, written whole by any thread.
#pragma once

#include <string>

namespace propregd {

// Opens path for appending (empty: stderr).  false with the reason.
bool log_to(const std::string &path, std::string *why);
void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace propregd
