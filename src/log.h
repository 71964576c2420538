// Lines for the operator: through the broker's own log where the broker is
// the host, so that they reach its log file; to standard error elsewhere.
#pragma once

#include <string>

enum class LogLevel { info, notice, warning, error };

// One line; the caller includes the "auth_plugin: " prefix.
void log_line(LogLevel level, const char *line) noexcept;
inline void log_line(LogLevel level, const std::string &line) noexcept { log_line(level, line.c_str()); }
