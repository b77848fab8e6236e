#include "engine/log.h"

#include <memory>
#include <mutex>

namespace qel::engine {

namespace {

using Hook = std::function<void(LogLevel, std::string_view)>;

std::mutex& hook_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const Hook>& hook_slot() {
  static std::shared_ptr<const Hook> slot;
  return slot;
}

}  // namespace

void set_log_hook(Hook hook) {
  auto next = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr;
  std::lock_guard lock(hook_mutex());
  hook_slot().swap(next);
}

void log(LogLevel level, std::string_view message) {
  std::shared_ptr<const Hook> hook;
  {
    std::lock_guard lock(hook_mutex());
    hook = hook_slot();
  }
  if (hook) (*hook)(level, message);
}

}  // namespace qel::engine
