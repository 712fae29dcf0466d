#include "common/progress.hpp"

namespace vr {
namespace {
ProgressSink current = nullptr;
}  // namespace

void set_progress_sink(ProgressSink sink) { current = sink; }

void advance_progress(int32_t amount) {
    if (current) current(amount);
}

}  // namespace vr
