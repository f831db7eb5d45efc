#include "md5.h"

#include <cstring>

namespace zenlar {
namespace qobl {

namespace {

constexpr uint32_t kS[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                             5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                             4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                             6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

// kK[i] = floor(abs(sin(i + 1)) * 2^32)
constexpr uint32_t kK[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t rotl(uint32_t x, uint32_t c) { return (x << c) | (x >> (32 - c)); }

void encodeLE(uint8_t* out, const uint32_t* in, size_t words) {
  for (size_t i = 0; i < words; ++i) {
    out[4 * i] = static_cast<uint8_t>(in[i]);
    out[4 * i + 1] = static_cast<uint8_t>(in[i] >> 8);
    out[4 * i + 2] = static_cast<uint8_t>(in[i] >> 16);
    out[4 * i + 3] = static_cast<uint8_t>(in[i] >> 24);
  }
}

}  // namespace

MD5::MD5() { init(); }

MD5::MD5(const std::string& text) {
  init();
  update(text.data(), static_cast<uint32_t>(text.size()));
  finalize();
}

void MD5::init() {
  finalized_ = false;
  std::memset(buffer_, 0, sizeof(buffer_));
  std::memset(digest_, 0, sizeof(digest_));
  count_[0] = count_[1] = 0;
  state_[0] = 0x67452301;
  state_[1] = 0xefcdab89;
  state_[2] = 0x98badcfe;
  state_[3] = 0x10325476;
}

void MD5::transform(const uint8_t block[64]) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) {
    m[i] = static_cast<uint32_t>(block[4 * i]) | (static_cast<uint32_t>(block[4 * i + 1]) << 8) |
           (static_cast<uint32_t>(block[4 * i + 2]) << 16) | (static_cast<uint32_t>(block[4 * i + 3]) << 24);
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (uint32_t i = 0; i < 64; ++i) {
    uint32_t f;
    uint32_t g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const uint32_t tmp = d;
    d = c;
    c = b;
    b = b + rotl(a + f + kK[i] + m[g], kS[i]);
    a = tmp;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void MD5::update(const unsigned char* input, uint32_t length) {
  if (finalized_ || length == 0 || input == nullptr) return;
  uint32_t index = (count_[0] >> 3) & 0x3f;  // bytes already buffered
  const uint32_t bits = length << 3;
  if ((count_[0] += bits) < bits) ++count_[1];
  count_[1] += length >> 29;

  const uint32_t partLen = 64 - index;
  uint32_t i = 0;
  if (length >= partLen) {
    std::memcpy(&buffer_[index], input, partLen);
    transform(buffer_);
    for (i = partLen; i + 63 < length; i += 64) transform(&input[i]);
    index = 0;
  }
  std::memcpy(&buffer_[index], &input[i], length - i);
}

void MD5::update(const char* input, uint32_t length) {
  update(reinterpret_cast<const unsigned char*>(input), length);
}

MD5& MD5::finalize() {
  if (finalized_) return *this;
  static const uint8_t padding[64] = {0x80};
  uint8_t bits[8];
  encodeLE(bits, count_, 2);
  const uint32_t index = (count_[0] >> 3) & 0x3f;
  const uint32_t padLen = (index < 56) ? (56 - index) : (120 - index);
  update(padding, padLen);
  update(bits, 8);
  encodeLE(digest_, state_, 4);
  std::memset(buffer_, 0, sizeof(buffer_));
  count_[0] = count_[1] = 0;
  finalized_ = true;
  return *this;
}

std::string MD5::hexdigest() const {
  if (!finalized_) return std::string();
  static const char hex[] = "0123456789abcdef";
  std::string out(32, '0');
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = hex[digest_[i] >> 4];
    out[2 * i + 1] = hex[digest_[i] & 0x0f];
  }
  return out;
}

namespace md5 {
std::string digestString(const void* data, uint32_t length) {
  MD5 m;
  m.update(static_cast<const unsigned char*>(data), length);
  return m.finalize().hexdigest();
}
}  // namespace md5

}  // namespace qobl
}  // namespace zenlar
