#include <crc.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace {

// The variant chosen for this processor gives zlib's CRC-32 at every length the folding code
// treats apart (below 16, 32, 64, 256 bytes and the tails after them), at odd addresses, and
// continued from an earlier CRC.
TEST(CrcChoiceTest, AgreesWithZlib) {
  std::vector<unsigned char> data(5000);
  std::uint32_t seed = 12345;
  for (unsigned char& byte : data) {
    seed = seed * 1103515245 + 12345;
    byte = static_cast<unsigned char>(seed >> 16);
  }
  for (size_t size : {0, 1, 3, 15, 16, 17, 31, 32, 63, 64, 255, 256, 257, 511, 4099}) {
    for (size_t at : {0, 1, 7}) {
      SCOPED_TRACE(testing::Message() << size << " bytes at " << at);
      const unsigned char* bytes = data.data() + at;
      const uLong expected = crc32(0, bytes, static_cast<uInt>(size));
      EXPECT_EQ(expected, crc32_gzip_refl(0, bytes, size));
      const size_t half = size / 2;
      EXPECT_EQ(expected,
                crc32_gzip_refl(crc32_gzip_refl(0, bytes, half), bytes + half, size - half));
    }
  }
}

}  // namespace
