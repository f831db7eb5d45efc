// Loaded model nodes registered by the graph runtime.
#include "card.h"

namespace qobcrt {

uint64_t inoutCapacity(Device& d, uint64_t requested) {
  std::lock_guard<std::mutex> lock(d.model_mu);
  for (const auto& entry : d.models) {
    const qobcrt_model_desc& m = entry.second->desc;
    for (uint32_t o = 0; o < m.num_outputs; ++o) {
      if (m.output_bytes[o] == requested && m.align_output_bytes[o] > requested) return m.align_output_bytes[o];
    }
  }
  return requested;
}

}  // namespace qobcrt
