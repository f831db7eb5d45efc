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

TEST(Md5, Rfc1321TestSuite) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& v : vectors) {
    const std::string text = v.first;
    EXPECT_EQ(md5::digestString(text.data(), static_cast<uint32_t>(text.size())), v.second) << '"' << text << '"';
    EXPECT_EQ(MD5(text).hexdigest(), v.second) << '"' << text << '"';
  }
  // Updates after finalize are ignored; binary input keeps its NUL bytes.
  MD5 m;
  EXPECT_EQ(m.hexdigest(), "");
  m.update("abc", 3);
  m.finalize();
  m.update("more", 4);
  m.finalize();
  EXPECT_EQ(m.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
  const unsigned char bin[3] = {0x00, 0xff, 0x00};
  EXPECT_NE(md5::digestString(bin, 3), md5::digestString(bin, 2));
}

// Padding and block carry-over are where incremental digests go wrong: lengths around 55/56 (the length
// field no longer fits) and 63/64 (exact block), and updates split across block borders.
TEST(Md5, IncrementalUpdatesMatchOneShotAtBlockBorders) {
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
