// Run engine: one engine thread and one reporter thread per device.
#include "card.h"

namespace qobcrt {

void stopDevice(Device& d) {
  {
    std::lock_guard<std::mutex> lock(d.run_mu);
    d.stopping = true;
  }
  d.run_cv.notify_all();
  if (d.engine.joinable()) d.engine.join();
  {
    std::lock_guard<std::mutex> lock(d.report_mu);
    d.report_stopping = true;
  }
  d.report_cv.notify_all();
  if (d.reporter.joinable()) d.reporter.join();
}

}  // namespace qobcrt
