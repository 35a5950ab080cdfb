#pragma once
// The core library's log lines. The application routes them to its global log object; until it
// does they go to stderr. Secrets are never passed here.
#include <functional>
#include <string>
#include <string_view>

namespace gelmora {

void logLine(std::string_view line);
void setLogSink(std::function<void(const std::string&)> sink);

}  // namespace gelmora
