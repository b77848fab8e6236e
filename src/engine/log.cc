#include "engine/log.h"

#include <memory>

#include "common/mutex.h"

namespace qel::engine {

namespace {

using Hook = std::function<void(LogLevel, std::string_view)>;

struct HookSlot {
  Mutex mutex;
  std::shared_ptr<const Hook> hook GUARDED_BY(mutex);
};

HookSlot& hook_slot() {
  static HookSlot slot;
  return slot;
}

}  // namespace

void set_log_hook(Hook hook) {
  auto next = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr;
  HookSlot& slot = hook_slot();
  MutexLock lock(slot.mutex);
  slot.hook.swap(next);
}

void log(LogLevel level, std::string_view message) {
  std::shared_ptr<const Hook> hook;
  {
    HookSlot& slot = hook_slot();
    MutexLock lock(slot.mutex);
    hook = slot.hook;
  }
  if (hook) (*hook)(level, message);
}

}  // namespace qel::engine
