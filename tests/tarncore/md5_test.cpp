// The MD5 primitive against the test suite of RFC 1321 (appendix A.5), on bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tarncore/md5.h"

namespace {

std::string Hex(const tarncore::Md5Digest& digest) {
  std::string out;
  for (const auto byte : digest) {
    char buffer[3];
    std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned>(byte));
    out += buffer;
  }
  return out;
}

TEST(Md5, Rfc1321TestSuite) {
  static const struct {
    const char* message;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    const std::string message = c.message;
    EXPECT_EQ(Hex(tarncore::Md5(message.data(), message.size())), c.digest)
        << "MD5(\"" << message << "\")";
  }
}

TEST(Md5, NullDataOfLengthZeroIsTheEmptyMessage) {
  EXPECT_EQ(Hex(tarncore::Md5(nullptr, 0)), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5, BytesBeyondAsciiAndZeroBytesCount) {
  // "\0" and "\xFF" differ from "" and from each other: every byte is digested, none is a
  // terminator. Values from an independent MD5 (Python's hashlib).
  const unsigned char zero[] = {0x00};
  const unsigned char high[] = {0xFF};
  EXPECT_EQ(Hex(tarncore::Md5(zero, 1)), "93b885adfe0da089cdf634904fd59f71");
  EXPECT_EQ(Hex(tarncore::Md5(high, 1)), "00594fd4f42ba43fc1ca0427a0576295");
}

}  // namespace
