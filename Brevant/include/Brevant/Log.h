#pragma once

#include <functional>
#include <string_view>

namespace brevant {

enum class LogLevel { Info, Error };

// The kit reports what it skips or rejects through one process-wide handler; the host
// (tunnel engine, tests) installs its own. Without one, errors go to stderr.
using LogHandler = std::function<void(LogLevel, std::string_view)>;
void set_log_handler(LogHandler handler);
void log_message(LogLevel level, std::string_view text);

}  // namespace brevant
