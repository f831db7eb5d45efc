#include "graph/params.h"

#include <tvm/runtime/data_type.h>

#include <cstring>
#include <set>

namespace tvm {
namespace runtime {
namespace graph {

namespace {

class Reader {
 public:
  explicit Reader(const std::string& b) : b_(b) {}
  template <typename T>
  bool Get(T* v) {
    if (b_.size() - pos_ < sizeof(T)) return false;
    std::memcpy(v, b_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }
  bool Bytes(uint64_t n, std::string* out) {
    if (b_.size() - pos_ < n) return false;
    out->assign(b_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  size_t remaining() const { return b_.size() - pos_; }

 private:
  const std::string& b_;
  size_t pos_ = 0;
};

template <typename T>
void Put(std::string* s, T v) {
  s->append(reinterpret_cast<const char*>(&v), sizeof(T));
}

}  // namespace

bool ParseParams(const std::string& blob, std::vector<ParamArray>* out, std::string* err) {
  out->clear();
  Reader r(blob);
  uint64_t magic = 0, reserved = 0, count = 0;
  if (!r.Get(&magic) || magic != kParamListMagic) {
    *err = "parameter blob does not start with the parameter-list magic";
    return false;
  }
  if (!r.Get(&reserved)) {
    *err = "parameter blob is truncated in its header";
    return false;
  }
  if (!r.Get(&count) || count > r.remaining() / 8) {
    *err = "parameter blob has a bad name count";
    return false;
  }
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t len = 0;
    std::string name;
    if (!r.Get(&len) || !r.Bytes(len, &name)) {
      *err = "parameter blob is truncated in name " + std::to_string(i);
      return false;
    }
    if (!seen.insert(name).second) {
      *err = "parameter blob names \"" + name + "\" twice";
      return false;
    }
    names.push_back(std::move(name));
  }
  uint64_t arrays = 0;
  if (!r.Get(&arrays)) {
    *err = "parameter blob is truncated after its " + std::to_string(count) + " names";
    return false;
  }
  if (arrays != count) {
    *err = "parameter blob has " + std::to_string(count) + " names but " + std::to_string(arrays) + " arrays";
    return false;
  }
  for (uint64_t i = 0; i < count; ++i) {
    ParamArray p;
    p.name = names[i];
    std::string where = "parameter \"" + p.name + "\"";
    uint64_t amagic = 0, ares = 0;
    int32_t dev_type = 0, dev_id = 0, ndim = 0;
    uint8_t code = 0, bits = 0;
    uint16_t lanes = 0;
    int64_t data_bytes = 0;
    if (!r.Get(&amagic) || amagic != kParamArrayMagic) {
      *err = where + " does not start with the array magic";
      return false;
    }
    if (!r.Get(&ares) || !r.Get(&dev_type) || !r.Get(&dev_id) || !r.Get(&ndim) || !r.Get(&code) || !r.Get(&bits) ||
        !r.Get(&lanes)) {
      *err = where + " is truncated";
      return false;
    }
    if (dev_type != kDLCPU) {
      *err = where + " is not saved as a CPU array";
      return false;
    }
    if (ndim < 0 || ndim > 32) {
      *err = where + " has a bad rank " + std::to_string(ndim);
      return false;
    }
    if (bits == 0 || lanes == 0 || code > kDLBfloat) {
      *err = where + " has a bad data type";
      return false;
    }
    p.dtype = DLDataType{code, bits, lanes};
    uint64_t elems = 1;
    for (int32_t d = 0; d < ndim; ++d) {
      int64_t ext = 0;
      if (!r.Get(&ext)) {
        *err = where + " is truncated in its shape";
        return false;
      }
      if (ext < 0 || ext > (int64_t(1) << 32)) {
        *err = where + " has a bad extent";
        return false;
      }
      p.shape.push_back(ext);
      elems *= static_cast<uint64_t>(ext);
      if (elems > (uint64_t(1) << 40)) {
        *err = where + " is too large";
        return false;
      }
    }
    if (!r.Get(&data_bytes)) {
      *err = where + " is truncated before its data size";
      return false;
    }
    // Saved arrays count whole bytes per element of the scalar type: lanes do not enter the size (a
    // vector type that packs below a byte per lane takes one byte per element, like its storage).
    uint64_t expect = (static_cast<uint64_t>(bits) + 7) / 8 * elems;
    if (data_bytes < 0 || static_cast<uint64_t>(data_bytes) != expect) {
      *err = where + " declares " + std::to_string(data_bytes) + " data bytes, its shape and type need " +
             std::to_string(expect);
      return false;
    }
    if (!r.Bytes(static_cast<uint64_t>(data_bytes), &p.data)) {
      *err = where + " is truncated in its data";
      return false;
    }
    out->push_back(std::move(p));
  }
  if (r.remaining() != 0) {
    *err = "parameter blob has " + std::to_string(r.remaining()) + " bytes after its last array";
    return false;
  }
  return true;
}

std::string SaveParams(const std::vector<ParamArray>& params) {
  std::string s;
  Put<uint64_t>(&s, kParamListMagic);
  Put<uint64_t>(&s, 0);
  Put<uint64_t>(&s, params.size());
  for (const auto& p : params) {
    Put<uint64_t>(&s, p.name.size());
    s += p.name;
  }
  Put<uint64_t>(&s, params.size());
  for (const auto& p : params) {
    Put<uint64_t>(&s, kParamArrayMagic);
    Put<uint64_t>(&s, 0);
    Put<int32_t>(&s, kDLCPU);
    Put<int32_t>(&s, 0);
    Put<int32_t>(&s, static_cast<int32_t>(p.shape.size()));
    Put<uint8_t>(&s, p.dtype.code);
    Put<uint8_t>(&s, p.dtype.bits);
    Put<uint16_t>(&s, p.dtype.lanes);
    for (int64_t d : p.shape) Put<int64_t>(&s, d);
    Put<int64_t>(&s, static_cast<int64_t>(p.data.size()));
    s += p.data;
  }
  return s;
}

}  // namespace graph
}  // namespace runtime
}  // namespace tvm
