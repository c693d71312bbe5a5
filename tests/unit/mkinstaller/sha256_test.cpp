// SHA-256 against the published test vectors, against split input, and against sha256sum
// for lengths around the block and padding boundaries.
#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

#include "support.h"
#include "sha256.h"

namespace {

std::string Hex(const std::string &data) {
  Sha256 h;
  h.Update(data.data(), data.size());
  return h.HexDigest();
}

TEST(Sha256, KnownAnswers) {
  EXPECT_EQ(Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(Hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, SplitInputGivesTheSameDigestAndDigestDoesNotEndHashing) {
  std::string data;
  for (int i = 0; i < 300; i++) data += static_cast<char>(i * 37 + 11);
  const std::string whole = Hex(data);
  for (size_t cut = 0; cut <= data.size(); cut += 7) {
    Sha256 h;
    h.Update(data.data(), cut);
    const std::string prefix = h.HexDigest();
    EXPECT_EQ(prefix, Hex(data.substr(0, cut))) << cut;
    h.Update(data.data() + cut, data.size() - cut);
    EXPECT_EQ(h.HexDigest(), whole) << cut;
  }
  // One byte at a time.
  Sha256 bytes;
  for (char c : data) bytes.Update(&c, 1);
  EXPECT_EQ(bytes.HexDigest(), whole);
}

TEST(Sha256, AgreesWithSha256sum) {
  support::Sandbox scratch;
  // Lengths on both sides of the 55/56/64-byte padding edges, and a few blocks more.
  for (size_t len : {1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 121u, 128u, 1000u, 70001u}) {
    std::string data;
    uint32_t x = static_cast<uint32_t>(len) * 2654435761u;
    for (size_t i = 0; i < len; i++) {
      x = x * 1103515245u + 12345u;
      data += static_cast<char>(x >> 24);
    }
    const std::string path = scratch.Write("data", data);
    FILE *p = popen(("sha256sum '" + path + "'").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char out[65] = {};
    ASSERT_EQ(fread(out, 1, 64, p), 64u);
    pclose(p);
    EXPECT_EQ(Hex(data), std::string(out)) << len;
  }
}

}  // namespace
