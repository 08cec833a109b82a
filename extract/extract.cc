#include "extract/extract.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

namespace {

// Room for 255 characters of the archive path, ".zip" and the terminator.
constexpr int kRetryNameSize = 256 + 16;
constexpr int kRetryPathLength = 255;
constexpr char kRetrySuffix[] = ".zip";
constexpr char kDebugVariable[] = "SFX_STUB_DEBUG";
// Stream buffer of an output file: 32 chunks of entry data per write call instead of two
// calls per chunk with the default buffer.
constexpr size_t kOutputStreamBufferSize = 256 * 1024;
// A size field that defers to the entry's ZIP64 extra field. The ZIP library reports it
// unchanged when it did not read that extra field.
constexpr ZPOS64_T kZip64Placeholder = 0xFFFFFFFFu;

struct ArchiveCloser {
  void operator()(void* zip) const { unzClose(zip); }
};
using ArchiveHandle = std::unique_ptr<void, ArchiveCloser>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

struct MemoryFreer {
  void operator()(char* memory) const { std::free(memory); }
};
using Buffer = std::unique_ptr<char, MemoryFreer>;

bool is_separator(char c) { return c == '/' || c == '\\'; }

// A stored name may only lead below the directory it is unpacked into: it must not start at
// the root and no part of it may be "..". Both separators count, as they do when parent
// directories are made.
bool is_safe_entry_name(const char* name) {
  if (is_separator(name[0])) return false;
  for (const char* part = name;;) {
    const char* end = part;
    while (*end != '\0' && !is_separator(*end)) ++end;
    if (end - part == 2 && part[0] == '.' && part[1] == '.') return false;
    if (*end == '\0') return true;
    part = end + 1;
  }
}

// The entry's data is closed on a failure path whose own code is reported instead.
void discard_entry_data(unzFile zip) { (void)unzCloseCurrentFile(zip); }

// Prints why writing the output file failed; errno is 0 when the C library gave no reason.
void report_write_error(int error) {
  if (error != 0) {
    std::printf("%s\n", std::strerror(error));
  } else {
    std::printf("error in writing extracted file\n");
  }
}

// Streams the open entry's data into `out` through `buffer`, then closes `out`. Returns 0, the
// read's negative code, or UNZ_ERRNO when a write or the close failed; prints the message.
// `out` is closed on return in every case. When `crc` is given, the CRC-32 of the data is
// accumulated into it. `copied` receives the number of bytes written.
int copy_entry_data(unzFile zip, FileHandle out, char* buffer, uLong* crc, ZPOS64_T& copied) {
  copied = 0;
  for (;;) {
    int got = unzReadCurrentFile(zip, buffer, EXTRACT_BUFFER_SIZE);
    if (got < 0) {
      std::printf("error %d with zipfile in unzReadCurrentFile\n", got);
      return got;
    }
    if (got == 0) break;
    if (crc != nullptr) {
      *crc = crc32(*crc, reinterpret_cast<const Bytef*>(buffer), static_cast<uInt>(got));
    }
    errno = 0;
    if (std::fwrite(buffer, 1, static_cast<size_t>(got), out.get()) != static_cast<size_t>(got)) {
      report_write_error(errno);
      return UNZ_ERRNO;
    }
    copied += static_cast<ZPOS64_T>(got);
  }
  // Buffered data reaches the file only here; a failure now is a lost write as well.
  errno = 0;
  if (std::fclose(out.release()) != 0) {
    report_write_error(errno);
    return UNZ_ERRNO;
  }
  return UNZ_OK;
}

// The ZIP library reads the fields of an end-of-central-directory record that the end of the
// file cuts off as zeros, so a record cut short passes for an archive without entries, and the
// payload would run with nothing unpacked. In an archive that truly has no entries the record
// and its comment are the file's last bytes.
bool is_cut_short_end_record(unzFile zip, const char* path) {
  constexpr long kEndRecordSize = 22;
  constexpr char kEndRecordSignature[] = "PK\x05\x06";
  unz_global_info64 global;
  std::memset(&global, 0, sizeof global);
  if (unzGetGlobalInfo64(zip, &global) != UNZ_OK || global.number_entry != 0) {
    return false;  // Entries, or a failure that the entry loop reports itself.
  }
  FileHandle in(std::fopen(path, "rb"));
  char signature[4] = {};
  return !in ||
         fseeko(in.get(), -(kEndRecordSize + static_cast<long>(global.size_comment)), SEEK_END) !=
             0 ||
         std::fread(signature, 1, sizeof signature, in.get()) != sizeof signature ||
         std::memcmp(signature, kEndRecordSignature, sizeof signature) != 0;
}

}  // namespace

int extract_archive(const char* archive_path, const char* destination) {
  char retry_name[kRetryNameSize] = {};
  if (archive_path == nullptr) return EXTRACT_ERR_OPEN;
  std::strncpy(retry_name, archive_path, kRetryPathLength);
  retry_name[kRetryPathLength + 1] = '\0';

  const char* opened = archive_path;
  ArchiveHandle zip(unzOpen64(archive_path));
  if (!zip) {
    std::strcat(retry_name, kRetrySuffix);
    opened = retry_name;
    zip.reset(unzOpen64(retry_name));
    if (!zip) return EXTRACT_ERR_OPEN;
  }
  const bool cut_short = is_cut_short_end_record(zip.get(), opened);
  if (chdir(destination) != 0) {
    std::printf("Error changing into %s, aborting\n", destination);
    return EXTRACT_ERR_CHDIR;
  }
  if (cut_short) {
    std::printf("error %d with zipfile in unzGetGlobalInfo \n", UNZ_BADZIPFILE);
    return EXTRACT_ERR_ENTRIES;
  }
  return extract_all_entries(zip.get()) == 0 ? EXTRACT_OK : EXTRACT_ERR_ENTRIES;
}

int extract_all_entries(unzFile zip) {
  unz_global_info64 global;
  std::memset(&global, 0, sizeof global);
  int err = unzGetGlobalInfo64(zip, &global);
  if (err != UNZ_OK) {
    std::printf("error %d with zipfile in unzGetGlobalInfo \n", err);
    return err;
  }
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    err = extract_current_entry(zip);
    if (err != UNZ_OK) return err;
    if (i + 1 < global.number_entry) {
      err = unzGoToNextFile(zip);
      if (err != UNZ_OK) {
        std::printf("error %d with zipfile in unzGoToNextFile\n", err);
        return err;
      }
    }
  }
  return 0;
}

int extract_current_entry(unzFile zip) {
  unz_file_info64 info;
  std::memset(&info, 0, sizeof info);
  char name[ENTRY_NAME_SIZE] = {};
  int err = unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0);
  if (err != UNZ_OK) {
    std::printf("error %d with zipfile in unzGetCurrentFileInfo\n", err);
    return err;
  }
  // A name that does not fit fills the buffer without a terminator.
  if (info.size_filename >= static_cast<uLong>(ENTRY_NAME_SIZE)) {
    std::printf("entry name too long (%lu bytes), refusing %.*s...\n", info.size_filename,
                ENTRY_NAME_SIZE - 1, name);
    return ENTRY_ERR_UNSAFE_NAME;
  }
  if (!is_safe_entry_name(name)) {
    std::printf("refusing unsafe entry name %s\n", name);
    return ENTRY_ERR_UNSAFE_NAME;
  }

  if (info.compressed_size == kZip64Placeholder) {
    // Without the real compressed size the data's end is unknown: reading would run on into
    // the entries behind it.
    std::printf("unsupported ZIP64 sizes in entry %s\n", name);
    return UNZ_BADZIPFILE;
  }

  Buffer buffer(static_cast<char*>(std::calloc(EXTRACT_BUFFER_SIZE, 1)));
  if (!buffer) {
    std::printf("Error allocating memory\n");
    return UNZ_INTERNALERROR;
  }

  char* base = name;
  for (char* p = name; *p != '\0'; ++p) {
    if (is_separator(*p)) base = p + 1;
  }
  if (*base == '\0') {
    // A directory entry: its stored time and mode are not applied, and its parents are not
    // made; an existing directory is fine.
    (void)mkdir(name, EXTRACT_DIR_MODE);
    return UNZ_OK;
  }

  err = unzOpenCurrentFilePassword(zip, nullptr);
  if (err != UNZ_OK) {
    std::printf("error %d with zipfile in unzOpenCurrentFilePassword\n", err);
    discard_entry_data(zip);
    return err;
  }

  // Declared before the output file, so that it outlives the file's last flush.
  Buffer stream_buffer;
  FileHandle out(std::fopen(name, "wb"));
  if (!out && base != name) {
    // Make the missing parents, then try once more.
    char separator = base[-1];
    base[-1] = '\0';
    (void)create_directory_path(name);
    base[-1] = separator;
    out.reset(std::fopen(name, "wb"));
  }
  if (!out) {
    if (std::getenv(kDebugVariable) != nullptr) std::printf("error opening %s\n", name);
    err = unzCloseCurrentFile(zip);  // The entry is skipped; its data is not read.
    if (err != UNZ_OK) std::printf("error %d with zipfile in unzCloseCurrentFile\n", err);
    return err;
  }

  stream_buffer.reset(static_cast<char*>(std::malloc(kOutputStreamBufferSize)));
  if (stream_buffer) {  // Otherwise the stream keeps its default buffer.
    std::setvbuf(out.get(), stream_buffer.get(), _IOFBF, kOutputStreamBufferSize);
  }

  // The ZIP library checks the CRC-32 only against a known uncompressed size; without one the
  // check is made here.
  const bool check_crc = info.uncompressed_size == kZip64Placeholder;
  uLong crc = crc32(0, nullptr, 0);
  ZPOS64_T copied = 0;
  err = copy_entry_data(zip, std::move(out), buffer.get(), check_crc ? &crc : nullptr, copied);
  if (err != UNZ_OK) {
    discard_entry_data(zip);
    return err;
  }
  set_file_times(name, info.tmu_date);
  (void)chmod(name, static_cast<mode_t>((info.external_fa >> 16) & 07777));

  err = unzCloseCurrentFile(zip);
  if (err == UNZ_OK && check_crc && crc != info.crc) err = UNZ_CRCERROR;
  // The ZIP library checks the CRC-32 only once every promised byte was read; compressed data
  // that ends early (a damaged entry) reads as a shorter file and passes unchecked.
  if (err == UNZ_OK && !check_crc && copied != info.uncompressed_size) err = UNZ_BADZIPFILE;
  if (err != UNZ_OK) std::printf("error %d with zipfile in unzCloseCurrentFile\n", err);
  return err;
}

int create_directory_path(const char* path) {
  size_t length = std::strlen(path);
  if (length == 0) return 0;
  Buffer copy(static_cast<char*>(std::malloc(length + 1)));
  if (!copy) {
    std::printf("Error allocating memory\n");
    return UNZ_INTERNALERROR;
  }
  char* dir = copy.get();
  std::memcpy(dir, path, length + 1);
  if (dir[length - 1] == '/') dir[length - 1] = '\0';

  if (mkdir(dir, EXTRACT_DIR_MODE) == 0) return 1;
  // Start at the second character so that an absolute path never yields an empty prefix.
  for (char* p = dir + 1;; ++p) {
    if (*p != '\0' && !is_separator(*p)) continue;
    char held = *p;
    *p = '\0';
    if (mkdir(dir, EXTRACT_DIR_MODE) != 0 && errno == ENOENT) {
      std::printf("couldn't create directory %s\n", dir);
      return 0;
    }
    if (held == '\0') return 1;
    *p = held;
  }
}

void set_file_times(const char* path, const tm_unz& date) {
  std::tm local = {};
  local.tm_sec = static_cast<int>(date.tm_sec);
  local.tm_min = static_cast<int>(date.tm_min);
  local.tm_hour = static_cast<int>(date.tm_hour);
  local.tm_mday = static_cast<int>(date.tm_mday);
  local.tm_mon = static_cast<int>(date.tm_mon);
  int year = static_cast<int>(date.tm_year);
  local.tm_year = year > 1900 ? year - 1900 : year;
  local.tm_isdst = -1;  // Let mktime decide whether summer time applies at that date.
  utimbuf times;
  times.actime = std::mktime(&local);
  times.modtime = times.actime;
  (void)utime(path, &times);
}
