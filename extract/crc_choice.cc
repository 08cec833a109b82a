// The inflate engine's CRC-32 on x86-64, chosen for the processor here instead of by the
// engine's own dispatcher. That dispatcher is one object with every CRC of the library behind
// it (CRC-32C, CRC-16, the big-endian CRC-32, each in several variants): linking it for the one
// CRC the stub needs adds about 45 KB of code it never runs. This file defines the engine's
// entry point, crc32_gzip_refl, so the dispatcher is never taken from the library, and picks
// among the library's own variants as that dispatcher does (same processor features, same
// order). Built for x86-64 only; elsewhere the library's dispatcher stays.

#include <cpuid.h>
#include <crc.h>
#include <sfx_isal_build.h>

#include <cstdint>

// The variants behind the dispatcher; crc.h declares the portable one and the entry point.
extern "C" {
std::uint32_t crc32_gzip_refl_by8(std::uint32_t crc, const unsigned char* data, std::uint64_t size);
std::uint32_t crc32_gzip_refl_by8_02(std::uint32_t crc, const unsigned char* data,
                                     std::uint64_t size);
#if SFX_ISAL_AS_LEVEL >= 10
std::uint32_t crc32_gzip_refl_by16_10(std::uint32_t crc, const unsigned char* data,
                                      std::uint64_t size);
#endif
}

namespace {

using Crc = std::uint32_t (*)(std::uint32_t, const unsigned char*, std::uint64_t);

// The portable variant, declared by crc.h with a buffer that it only reads.
std::uint32_t portable(std::uint32_t crc, const unsigned char* data, std::uint64_t size) {
  return crc32_gzip_refl_base(crc, const_cast<unsigned char*>(data), size);
}

// The register state the operating system saves (XCR0).
std::uint32_t saved_state() {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return low;
}

Crc choose() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return portable;
  if ((ecx & bit_SSE4_1) == 0 || (ecx & bit_PCLMUL) == 0) return portable;
  if ((ecx & bit_OSXSAVE) == 0) return crc32_gzip_refl_by8;
  const std::uint32_t state = saved_state();
  if ((state & 0x6) != 0x6 || (ecx & bit_AVX) == 0) return crc32_gzip_refl_by8;
#if SFX_ISAL_AS_LEVEL >= 10
  // AVX-512 with its second group of extensions (VPCLMULQDQ among them), as the library asks.
  constexpr unsigned kGroup1 =
      bit_AVX512F | bit_AVX512VL | bit_AVX512BW | bit_AVX512CD | bit_AVX512DQ;
  constexpr unsigned kGroup2 = bit_AVX512VBMI2 | bit_GFNI | bit_VAES | bit_VPCLMULQDQ |
                               bit_AVX512VNNI | bit_AVX512BITALG | bit_AVX512VPOPCNTDQ;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_AVX2) != 0 &&
      (state & 0xe0) == 0xe0 && (ebx & kGroup1) == kGroup1 && (ecx & kGroup2) == kGroup2) {
    return crc32_gzip_refl_by16_10;
  }
#endif
  return crc32_gzip_refl_by8_02;
}

}  // namespace

std::uint32_t crc32_gzip_refl(std::uint32_t crc, const unsigned char* data, std::uint64_t size) {
  static const Crc chosen = choose();
  return chosen(crc, data, size);
}
