// One op of the op engine: its kind, uid and typed attribute store, and the configuration-block update of
// the generic pre-processing op.
#ifndef QOBE_SRC_OP_H
#define QOBE_SRC_OP_H

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <qobm/qobm.h>

namespace zenlar {
namespace qobe {

// Values are kept as raw 64-bit words: INT32 and UINT32 as their 32 bits, BOOL as 0 or 1, FLOAT32 as its
// bit pattern, UINT64 as is.
struct AttrValue {
  uint32_t type = 0;
  std::vector<uint64_t> values;
};

// True for the five type codes the engine knows.
bool isKnownType(uint32_t type);
// Encodes a float as the raw word of a FLOAT32 attribute.
uint64_t floatToRaw(float value);

class Op {
 public:
  Op(uint32_t kind, uint32_t uid);
  Op(const Op&) = delete;
  Op& operator=(const Op&) = delete;

  uint32_t kind() const { return kind_; }
  uint32_t uid() const { return uid_; }

  // Stores `values` (already in raw form, at least one) under `key`.  Returns a qobe result code.
  int set(const std::string& key, uint32_t type, const std::vector<uint64_t>& values);
  // Reads element `index` into `result` (width of `type`); `result` is untouched on failure.
  int get(const std::string& key, uint32_t type, uint32_t index, void* result);
  int count(const std::string& key, uint32_t* count);

 private:
  struct Published {
    std::vector<uint64_t> configs;
    std::vector<uint64_t> buffers;
    uint64_t thread = 0;   // threadSerial() of the thread that updated
  };
  // The calling thread's update, or null when it made none: an entry left under its std::thread::id by an
  // ended thread (Linux reuses the id) is not its own.
  const Published* ownUpdate() const;

  // All private helpers expect mutex_ held.
  const AttrValue* find(const std::string& key) const;
  uint32_t readU32(const char* key, uint32_t fallback) const;
  bool allConfigured() const;
  int setName(const std::vector<uint64_t>& values);
  int setShapes(const std::string& key, const std::vector<uint64_t>& values);
  int updateConfigList(uint32_t count);
  // Fills the configuration block for this op; false when a property is missing or inconsistent.
  bool buildBlock(const std::vector<uint64_t>& buffers, uint32_t bufferSize, std::vector<unsigned char>& block) const;

  std::mutex mutex_;
  const uint32_t kind_;
  const uint32_t uid_;
  std::unordered_map<std::string, AttrValue> attrs_;
  std::deque<std::string> names_;    // every name ever set; pointers into them stay valid until destruction
  std::deque<qobmShape> shapes_;     // every shape ever set, likewise
  // Per updating thread, its latest update; keyed by std::thread::id, so that the table holds no more
  // entries than threads that ran at once, and told apart from an ended thread's by Published::thread.
  std::unordered_map<std::thread::id, Published> published_;
};

}  // namespace qobe
}  // namespace zenlar

#endif  // QOBE_SRC_OP_H
