#include <gtest/gtest.h>

#include <string>

#include "md5.h"

using zenlar::qobl::MD5;
namespace md5 = zenlar::qobl::md5;

namespace {

std::string digestInPieces(const std::string& text, std::initializer_list<size_t> cuts) {
  MD5 m;
  size_t pos = 0;
  for (size_t cut : cuts) {
    m.update(text.data() + pos, static_cast<uint32_t>(cut - pos));
    pos = cut;
  }
  m.update(text.data() + pos, static_cast<uint32_t>(text.size() - pos));
  return m.finalize().hexdigest();
}

}  // namespace

// Padding and block carry-over are where incremental digests go wrong: lengths around 55/56 (the length
// field no longer fits) and 63/64 (exact block), and updates split across block borders.
// (Digests of whole model files are compared with md5sum's by the tools' and the Python tests.)
TEST(Md5, IncrementalUpdatesMatchOneShotAtBlockBorders) {
  const std::string rfc = "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
  EXPECT_EQ(md5::digestString(rfc.data(), static_cast<uint32_t>(rfc.size())), "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(digestInPieces(rfc, {55, 64}), "57edf4a22be3c955ac49da2e2107b67a");
  std::string text;
  for (int i = 0; i < 300; ++i) text.push_back(static_cast<char>('!' + (i * 7) % 90));
  for (size_t len : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 300u}) {
    const std::string t = text.substr(0, len);
    const std::string whole = md5::digestString(t.data(), static_cast<uint32_t>(t.size()));
    ASSERT_EQ(whole.size(), 32u);
    for (size_t a : {1u, 55u, 56u, 63u, 64u}) {
      if (a >= len) continue;
      EXPECT_EQ(digestInPieces(t, {a}), whole) << "len " << len << " split " << a;
      for (size_t b : {56u, 64u, 100u, 128u}) {
        if (b <= a || b >= len) continue;
        EXPECT_EQ(digestInPieces(t, {a, b}), whole) << "len " << len << " splits " << a << "," << b;
      }
    }
    // byte by byte
    MD5 m;
    for (char c : t) m.update(&c, 1);
    EXPECT_EQ(m.finalize().hexdigest(), whole) << "len " << len;
  }
}
