#include "engine/admission_engine.h"

namespace qel::engine::detail {

namespace {
thread_local bool processor_thread = false;
}

bool on_processor_thread() { return processor_thread; }
void mark_processor_thread() { processor_thread = true; }

}  // namespace qel::engine::detail
