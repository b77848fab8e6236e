// The engine's diagnostics hook: nothing is printed unless a hook is set.
#pragma once

#include <functional>
#include <string_view>

namespace qel::engine {

enum class LogLevel { Error, Info, Debug };

void set_log_hook(std::function<void(LogLevel, std::string_view)> hook);
void log(LogLevel level, std::string_view message);

}  // namespace qel::engine
