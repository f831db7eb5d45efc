// DeviceBlock: allocation and the one release of a block of card memory.
#include "device_block.h"

#include <qobcrt/qobcrt.h>

#include "qobl_log.h"

namespace zenlar {
namespace qobl {

const char* freeCallName(DeviceMemKind kind) {
  switch (kind) {
    case DeviceMemKind::kInout: return "qobcrt_free_inout";
    case DeviceMemKind::kDdrShare: return "qobcrt_free_ddr_share";
    case DeviceMemKind::kStream: break;
  }
  return "qobcrt_free_stream";
}

int DeviceBlock::freeNow() noexcept {
  const uint64_t addr = release();
  void* shown = qoblAsPtr(addr);
  QOBL_LOG_DEBUG("Call %s to free [%p].\n", freeCallName(kind_), shown);
  int rc = rtErrInvalidParam;
  switch (kind_) {
    case DeviceMemKind::kStream: rc = qobcrt_free_stream(device_, addr); break;
    case DeviceMemKind::kInout: rc = qobcrt_free_inout(device_, addr); break;
    case DeviceMemKind::kDdrShare: rc = qobcrt_free_ddr_share(device_, addr); break;
  }
  if (rc != rtSuccess) {
    QOBL_LOG_ERROR("Failed to free device memory [%p] with %s in device [%u]. Error code is [%d].\n", shown,
                   freeCallName(kind_), device_, rc);
  }
  return rc;
}

}  // namespace qobl
}  // namespace zenlar
