#include "study/sha256.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// The test vectors of FIPS 180-4's examples (NIST's "SHA256.pdf") and the
// long message of its test suite.
TEST(Sha256, StandardVectors) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(study::sha256(c.message), c.digest) << c.message.substr(0, 60);
  }
}

// Every split of a message into two pieces gives the digest of the whole:
// the lengths around the 55/56/64-byte padding edges are the ones that go
// wrong.
TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
  for (std::size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
    std::string message;
    for (std::size_t n = 0; n < length; ++n) message += static_cast<char>('A' + n % 53);
    const std::string whole = study::sha256(message);
    for (std::size_t cut = 0; cut <= length; ++cut) {
      study::Sha256 digest;
      digest.add(std::string_view(message).substr(0, cut));
      digest.add(std::string_view(message).substr(cut));
      ASSERT_EQ(digest.hex(), whole) << "length " << length << ", cut at " << cut;
    }
  }
}

TEST(Sha256, FileDigestEqualsBytesDigestAndMissingFileSaysWhy) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("sha256_test." + std::to_string(::getpid())))
          .string();
  std::string bytes;
  for (int n = 0; n < 200000; ++n) bytes += static_cast<char>(n * 7919 % 251);
  std::ofstream(path, std::ios::binary) << bytes;
  std::string hex;
  EXPECT_EQ(study::sha256_file(path, hex), "");
  EXPECT_EQ(hex, study::sha256(bytes));
  std::filesystem::remove(path);
  const std::string why = study::sha256_file(path, hex);
  EXPECT_NE(why.find("cannot read " + path + ": No such file"), std::string::npos) << why;
}

}  // namespace
