#include "inputs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "qobl_tools/model_dir.h"

namespace zenlar {
namespace qoblrun {

namespace {

// IEEE binary16 nearest to a float in [-1, 1) (no overflow, subnormals flushed to zero).
uint16_t toHalf(float f) {
  uint32_t x;
  std::memcpy(&x, &f, 4);
  const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
  const int32_t exp = static_cast<int32_t>((x >> 23) & 0xffu) - 127 + 15;
  if (exp <= 0) return sign;
  uint32_t mant = x & 0x7fffffu;
  uint32_t half = (static_cast<uint32_t>(exp) << 10) | (mant >> 13);
  if ((mant & 0x1fffu) > 0x1000u || ((mant & 0x1fffu) == 0x1000u && (half & 1u) != 0)) ++half;   // to even
  return static_cast<uint16_t>(sign | half);
}

}  // namespace

std::vector<uint8_t> randomInput(const qobltools::ModelInfo& info, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<uint8_t> out;
  for (const auto& t : info.inputs) {
    const size_t at = out.size();
    out.resize(at + t.bytes);
    uint8_t* p = out.data() + at;
    const qobltools::DType d = t.dtype;
    if (d.code == 2 && d.bits == 32) {
      for (uint64_t i = 0; i < t.bytes / 4; ++i) {
        const float f = value(gen);
        std::memcpy(p + 4 * i, &f, 4);
      }
    } else if ((d.code == 2 || d.code == 4) && d.bits == 16) {
      for (uint64_t i = 0; i < t.bytes / 2; ++i) {
        const float f = value(gen);
        uint32_t x;
        std::memcpy(&x, &f, 4);
        const uint16_t h = d.code == 2 ? toHalf(f) : static_cast<uint16_t>(x >> 16);
        std::memcpy(p + 2 * i, &h, 2);
      }
    } else {
      for (uint64_t i = 0; i < t.bytes; ++i) p[i] = static_cast<uint8_t>(gen() & 0xffu);
    }
  }
  return out;
}

std::string inputText(const qobltools::TensorInfo& t) {
  return qobltools::shapeText(t.shape) + " " + qobltools::dtypeText(t.dtype) + ", " + std::to_string(t.bytes) +
         " bytes";
}

std::string fileInput(const qobltools::ModelInfo& info, const std::vector<std::string>& files,
                      std::vector<uint8_t>* out) {
  if (files.size() != info.inputs.size())
    return "--input names " + std::to_string(files.size()) + " file(s), the model takes " +
           std::to_string(info.inputs.size()) + " input(s)";
  out->clear();
  for (size_t i = 0; i < files.size(); ++i) {
    const qobltools::TensorInfo& t = info.inputs[i];
    std::vector<uint8_t> bytes;
    // One byte more than the input takes tells a file that is too long without reading all of an endless
    // one (/dev/zero).
    if (!qobltools::readFile(files[i], &bytes, t.bytes + 1))
      return "--input " + files[i] + ": " + std::strerror(errno) + " (input " + std::to_string(i) + " \"" + t.name +
             "\" " + inputText(t) + ")";
    if (bytes.size() != t.bytes) {
      struct stat st;
      const bool regular = ::stat(files[i].c_str(), &st) == 0 && S_ISREG(st.st_mode);
      const std::string held = bytes.size() < t.bytes ? std::to_string(bytes.size())
                               : regular               ? std::to_string(st.st_size)
                                                       : "more than " + std::to_string(t.bytes);
      return "--input " + files[i] + " holds " + held + " bytes, input " + std::to_string(i) + " \"" + t.name +
             "\" " + inputText(t);
    }
    out->insert(out->end(), bytes.begin(), bytes.end());
  }
  return "";
}

}  // namespace qoblrun
}  // namespace zenlar
