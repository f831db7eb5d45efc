// MD5 message digest (RFC 1321).  Used to name models by the contents of their files.
#ifndef QOBL_COMMON_MD5_H
#define QOBL_COMMON_MD5_H

#include <cstdint>
#include <string>

namespace zenlar {
namespace qobl {

// Usage: MD5 m; m.update(p, n); ...; m.finalize(); m.hexdigest().
// update() after finalize() is ignored; hexdigest() before finalize() gives an empty string.
class MD5 {
 public:
  MD5();
  explicit MD5(const std::string& text);  // digest of the text, finalized

  void update(const unsigned char* input, uint32_t length);
  void update(const char* input, uint32_t length);
  MD5& finalize();
  std::string hexdigest() const;  // 32 lower-case hexadecimal characters

 private:
  void init();
  void transform(const uint8_t block[64]);

  bool finalized_;
  uint8_t buffer_[64];  // bytes not yet transformed
  uint32_t count_[2];   // number of bits, low word first
  uint32_t state_[4];
  uint8_t digest_[16];
};

namespace md5 {
// Lower-case hexadecimal MD5 of `length` bytes at `data`.
std::string digestString(const void* data, uint32_t length);
}  // namespace md5

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_COMMON_MD5_H
