// SHA-256 (FIPS 180-4) of bytes and of a file, as 64 lower-case hex digits:
// the digests the study keeps of input and results files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace study {

// An incremental digest: add() the bytes in any pieces, then hex() once.
class Sha256 {
 public:
  Sha256();
  void add(std::string_view bytes);
  // The digest of everything added; the object is spent afterwards.
  std::string hex();

 private:
  void compress(const unsigned char* block);
  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, 64> block_{};
  std::size_t buffered_ = 0;    // bytes of block_ in use
  std::uint64_t length_ = 0;    // bytes added in all
};

std::string sha256(std::string_view bytes);

// The digest of the file `path` into `hex`. Returns why it could not be
// read, or empty.
std::string sha256_file(const std::string& path, std::string& hex);

}  // namespace study
