// SHA-256 (FIPS 180-4), streaming: the digest that identifies a whole installer file and the
// one recorded in its archive comment. Small and dependency-free on purpose: the packaging
// tool links nothing beyond what the launcher links.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

class Sha256 {
 public:
  static constexpr size_t kDigestSize = 32;

  Sha256();
  void Update(const void *data, size_t len);
  // The digest of everything passed to Update so far. The object is left unchanged, so
  // hashing may go on (a copy of the object is a copy of the state).
  void Digest(unsigned char out[kDigestSize]) const;
  // The digest as 64 lower-case hexadecimal digits.
  std::string HexDigest() const;

 private:
  void Block(const unsigned char *block);

  uint32_t state_[8];
  unsigned char buffer_[64];
  size_t buffered_ = 0;
  uint64_t length_ = 0;  // bytes hashed
};
