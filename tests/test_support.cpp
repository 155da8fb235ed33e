#include <gtest/gtest.h>

#include "support/support.h"

// The golden hashes rest on this digest: check it against published vectors.
TEST(Support, Sha256KnownVectors) {
  auto hex = [](const std::string& s) {
    return zaltest::Sha256Hex(std::vector<uint8_t>(s.begin(), s.end()));
  };
  EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}
