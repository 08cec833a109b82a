// Drives the stub's own payload code for the benchmark (see carve_bench.sh):
//
//   bench_carve make STUB ARCHIVE OUT   write a distributable: STUB, ARCHIVE, trailer
//   bench_carve scan FILE               find_version_marker from L - 32; exit 0 when found
//   bench_carve carve FILE DIR          carve_archive into DIR; exit 0 on CARVE_OK
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#include "payload/carve.h"
#include "payload/trailer.h"
#include "testing/entry_points.h"

namespace {

bool append_file(std::ofstream& out, const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out << in.rdbuf();
  return static_cast<bool>(out);
}

int make(const char* stub, const char* archive, const char* out_path) {
  std::ifstream archive_in(archive, std::ios::binary | std::ios::ate);
  if (!archive_in) return 2;
  const auto archive_length = static_cast<std::uint32_t>(archive_in.tellg());
  std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
  if (!append_file(out, stub) || !append_file(out, archive)) return 2;
  out << encode_trailer("trevalo -u %current-dir%  %argv%", archive_length, std::nullopt);
  return out ? 0 : 2;
}

int scan(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr || fseeko(file, 0, SEEK_END) != 0) return 2;
  std::uint64_t trailing_count = 0;
  std::string layout_version;
  const TrailerStatus found =
      find_version_marker(file, ftello(file) - 32, trailing_count, layout_version);
  std::fclose(file);
  return found == TrailerStatus::kOk ? 0 : 252;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "make" && argc == 5) return make(argv[2], argv[3], argv[4]);
  if (mode == "scan" && argc == 3) return scan(argv[2]);
  if (mode == "carve" && argc == 4) {
    CarveResult result;
    return carve_archive(argv[2], argv[3], result) == CARVE_OK ? 0 : 252;
  }
  std::fprintf(stderr, "usage: %s make STUB ARCHIVE OUT | scan FILE | carve FILE DIR\n", argv[0]);
  return 2;
}
