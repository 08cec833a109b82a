// The straightforward carving design, for comparison in the benchmark: the trailer's version
// marker is looked for with one positioned 32-byte read per byte stepped back from L - 32, and
// the archive is copied through a 1024-byte buffer with buffered reads and writes.
//
//   bench_reference_carve scan FILE        scan only; exit 0 when a trailer was found
//   bench_reference_carve carve FILE DIR   scan, then copy the archive to DIR/archive.zip
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kMarker[] = "QVRT_VERSION_PATT:";

// Returns the position of the version marker nearest the end, or -1 after a message.
std::int64_t probe_each_position(std::FILE* file, std::int64_t start, const char* path) {
  for (std::int64_t p = start; p > 0; --p) {
    char probe[33] = {};
    if (fseeko(file, p, SEEK_SET) != 0 || std::fread(probe, 1, 32, file) != 32) {
      std::fprintf(stderr, "-E- Failed to read version pattern : '%s'\n", path);
      return -1;
    }
    if (std::strcmp(probe, kMarker) == 0) {
      char version[9] = {};
      if (std::fread(version, 1, 8, file) != 8 || std::strcmp(version, "2.0") != 0) {
        std::fprintf(stderr, "-E- Bad layout version: '%s'\n", path);
        return -1;
      }
      return p;
    }
  }
  std::fprintf(stderr,
               "-E- Failed to find version pattern, qvr_fwsfx_gen is older than expected : "
               "'2.0', make sure to have the latest PVK\n");
  return -1;
}

int copy_archive(std::FILE* file, std::int64_t marker_at, const std::string& out_path) {
  // No extra-tool section and no trailing bytes in the benchmark's files.
  const std::int64_t command_at = marker_at - 260;
  unsigned char fields[260];
  if (fseeko(file, command_at, SEEK_SET) != 0 || std::fread(fields, 1, 260, file) != 260) {
    return 3;
  }
  const std::uint32_t n = (std::uint32_t{fields[256]} << 24) | (std::uint32_t{fields[257]} << 16) |
                          (std::uint32_t{fields[258]} << 8) | fields[259];
  if (fseeko(file, command_at - n, SEEK_SET) != 0) return 2;
  std::FILE* out = std::fopen(out_path.c_str(), "wb");
  if (out == nullptr) return 4;
  char buffer[1024];
  std::uint64_t copied = 0;
  while (copied < n) {
    size_t got = std::fread(buffer, 1, sizeof buffer, file);
    if (got == 0) break;
    if (copied + got > n) got = static_cast<size_t>(n - copied);
    if (std::fwrite(buffer, 1, got, out) != got) {
      std::fclose(out);
      return 4;
    }
    copied += got;
  }
  std::fclose(out);
  return copied < n ? 5 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!((mode == "scan" && argc == 3) || (mode == "carve" && argc == 4))) {
    std::fprintf(stderr, "usage: %s scan FILE | carve FILE DIR\n", argv[0]);
    return 2;
  }
  std::FILE* file = std::fopen(argv[2], "rb");
  if (file == nullptr || fseeko(file, 0, SEEK_END) != 0) return 2;
  const std::int64_t length = ftello(file);
  const std::int64_t marker_at = probe_each_position(file, length - 32, argv[2]);
  int status = marker_at < 0 ? 252 : 0;
  if (status == 0 && mode == "carve") {
    status = copy_archive(file, marker_at, std::string(argv[3]) + "/archive.zip");
  }
  std::fclose(file);
  return status;
}
