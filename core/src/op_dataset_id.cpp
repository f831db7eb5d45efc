#include "op_dataset_id.h"

#include <atomic>
#include <random>

namespace zenlar {
namespace qobl {

uint32_t DatasetId::randomUint() {
  std::random_device device("default");
  std::minstd_rand engine(device());
  std::uniform_int_distribution<uint32_t> distribution(11, 1000);
  return distribution(engine);
}

uint32_t DatasetId::generateId() {
  static std::atomic<uint32_t> counter(randomUint() + 10);
  return ++counter;
}

uint32_t DatasetId::nilId() { return 0; }

bool DatasetId::isNilId(uint32_t id) { return id == nilId(); }

}  // namespace qobl
}  // namespace zenlar
