// DatasetId: the process-wide source of dataset ids, one per device run (run-stream instruction).
#ifndef QOBL_OP_DATASET_ID_H
#define QOBL_OP_DATASET_ID_H

#include <cstdint>

namespace zenlar {
namespace qobl {

class DatasetId {
 public:
  // The next dataset id.  The first id of a process lies in [22, 1011] (a random start); later ids follow
  // consecutively across every stream and thread, wrapping modulo 2^32.  Thread-safe.
  static uint32_t generateId();
  // One uniform draw from [11, 1000], seeded from the system's random device.
  static uint32_t randomUint();
  // Declared for completeness; nothing in the library uses them.
  static uint32_t nilId();
  static bool isNilId(uint32_t id);
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_DATASET_ID_H
