#include "pack/look_inside.h"

#include <minizip/unzip.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "extract/entry_rules.h"
#include "pack/create.h"
#include "pack/source_tree.h"
#include "pack/zip_window.h"

namespace {

constexpr std::size_t NAME_BUFFER_SIZE = 65536;
constexpr std::size_t READ_BUFFER_SIZE = 64 * 1024;
constexpr uLong ENCRYPTED_FLAG = 1;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// A distributable file opened for reading: its trailer read, its archive open in minizip.
class OpenDistributable {
 public:
  ~OpenDistributable() {
    if (zip_ != nullptr) unzClose(zip_);
  }

  Status open(const std::string& path, TrailerInfo& trailer) {
    path_ = path;
    file_.reset(std::fopen(path.c_str(), "rbe"));
    if (!file_)
      return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
    switch (read_trailer(file_.get(), trailer)) {
      case TrailerStatus::kOk:
        break;
      case TrailerStatus::kIoError:
        return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
      case TrailerStatus::kTooShort:
      case TrailerStatus::kNoMarker:
        return Status::input_fault(quoted(path) +
                                   " has no trailer: it is not a distributable file");
      case TrailerStatus::kNoVersion:
        return Status::input_fault(quoted(path) +
                                   " has a damaged trailer: its layout version is cut off");
      case TrailerStatus::kVersionMismatch:
        return Status::input_fault(quoted(path) + " has a trailer of layout version " +
                                   quoted(trailer.layout_version) + "; this sfx_pack reads " +
                                   quoted(PayloadTrailer::LAYOUT_VERSION));
      case TrailerStatus::kTruncated:
        return Status::input_fault(quoted(path) + " has a damaged trailer: its archive of " +
                                   std::to_string(trailer.archive_length) +
                                   " bytes would start before the file does");
    }
    window_.file = file_.get();
    window_.base = static_cast<std::uint64_t>(trailer.archive_offset);
    window_.length = trailer.archive_length;
    zlib_filefunc64_def functions;
    fill_window_functions(&window_, &functions);
    zip_ = unzOpen2_64("", &functions);
    if (zip_ == nullptr) {
      return Status::input_fault(quoted(path) + ": the appended archive (" +
                                 std::to_string(trailer.archive_length) + " bytes at offset " +
                                 std::to_string(trailer.archive_offset) +
                                 ") is not a readable ZIP archive");
    }
    return Status::ok();
  }

  unzFile zip() const { return zip_; }

  // Steps through the entries: first() then next() until they return false; `status` tells
  // an end of the list (ok) from a damaged central directory.
  bool first(EntryInfo& entry, unz_file_info64& raw, Status& status) {
    return load(unzGoToFirstFile(zip_), entry, raw, status);
  }
  bool next(EntryInfo& entry, unz_file_info64& raw, Status& status) {
    return load(unzGoToNextFile(zip_), entry, raw, status);
  }

  Status damaged(const std::string& what) const {
    return Status::input_fault(quoted(path_) + ": " + what);
  }

 private:
  bool load(int moved, EntryInfo& entry, unz_file_info64& raw, Status& status) {
    status = Status::ok();
    if (moved == UNZ_END_OF_LIST_OF_FILE) return false;
    name_.resize(NAME_BUFFER_SIZE);
    if (moved != UNZ_OK || unzGetCurrentFileInfo64(zip_, &raw, name_.data(), name_.size(), nullptr,
                                                   0, nullptr, 0) != UNZ_OK) {
      status = damaged("the archive's central directory is damaged");
      return false;
    }
    entry = EntryInfo{};
    entry.name.assign(name_.data(), std::min<std::size_t>(raw.size_filename, name_.size()));
    entry.size = raw.uncompressed_size;
    entry.compressed_size = raw.compressed_size;
    entry.crc32 = static_cast<std::uint32_t>(raw.crc);
    entry.method = static_cast<int>(raw.compression_method);
    entry.version_made_by = static_cast<std::uint32_t>(raw.version);
    entry.external_attributes = static_cast<std::uint32_t>(raw.external_fa);
    entry.year = static_cast<int>(raw.tmu_date.tm_year);
    entry.month = static_cast<int>(raw.tmu_date.tm_mon) + 1;
    entry.day = static_cast<int>(raw.tmu_date.tm_mday);
    entry.hour = static_cast<int>(raw.tmu_date.tm_hour);
    entry.minute = static_cast<int>(raw.tmu_date.tm_min);
    entry.second = static_cast<int>(raw.tmu_date.tm_sec);
    return true;
  }

  std::string path_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  ZipWindow window_;
  unzFile zip_ = nullptr;
  std::string name_;
};

std::string method_name(int method) {
  if (method == 0) return "store";
  if (method == 8) return "deflate";
  return "method-" + std::to_string(method);
}

// "-rwxr-xr-x" for a Unix mode, as ls shows it.
std::string mode_text(std::uint32_t mode, bool directory) {
  const EntryKind kind = (mode & 0170000) == 0120000 ? EntryKind::kSymlink
                         : directory                 ? EntryKind::kDirectory
                                                     : EntryKind::kFile;
  return mode_text(kind, static_cast<mode_t>(mode & 07777));
}

std::string time_text(const EntryInfo& entry, char separator) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", entry.year, entry.month,
                entry.day, separator, entry.hour, entry.minute, entry.second);
  return text;
}

// A JSON string: quotes, backslashes and control characters escaped; bytes that are no UTF-8
// are written as the code points of the same value, so that the document stays valid.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80                    ? 1
                         : byte >= 0xC2 && byte <= 0xDF ? 2
                         : byte >= 0xE0 && byte <= 0xEF ? 3
                         : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                        : 0;
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        length = 0;
        break;
      }
    }
    char escape[8];
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
      i += 1;
    } else if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
      i += 1;
    } else if (byte < 0x20 || byte == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
      i += 1;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out + "\"";
}

std::string number(std::uint64_t value) { return std::to_string(value); }

}  // namespace

Status read_distributable(const std::string& path, DistributableInfo& info) {
  info = DistributableInfo{};
  info.path = path;
  OpenDistributable file;
  Status status = file.open(path, info.trailer);
  if (!status.is_ok()) return status;
  EntryInfo entry;
  unz_file_info64 raw;
  for (bool more = file.first(entry, raw, status); more; more = file.next(entry, raw, status)) {
    info.entries.push_back(entry);
  }
  return status;
}

std::string format_text(const DistributableInfo& info) {
  const TrailerInfo& t = info.trailer;
  std::string out;
  auto line = [&out](const char* label, const std::string& value) {
    char head[32];
    std::snprintf(head, sizeof head, "%-20s", label);
    out += head + value + "\n";
  };
  line("file:", escaped(info.path));
  line("layout version:", escaped(t.layout_version));
  line("trailing bytes:", number(t.trailing_count));
  line("stub size:", number(static_cast<std::uint64_t>(t.archive_offset)) + " bytes");
  line("archive offset:", number(static_cast<std::uint64_t>(t.archive_offset)));
  line("archive length:", number(t.archive_length) + " bytes");
  line("command template:", quoted(t.command));
  line("extra-tool command:", t.has_extra_tool_section ? quoted(t.extra_tool_command) : "none");
  line("entries:", number(info.entries.size()));
  if (info.entries.empty()) return out;
  char row[160];
  std::snprintf(row, sizeof row, "  %-10s  %12s  %12s  %-7s  %-19s  %s\n", "mode", "size",
                "compressed", "method", "time", "name");
  out += row;
  for (const EntryInfo& e : info.entries) {
    std::snprintf(row, sizeof row, "  %-10s  %12" PRIu64 "  %12" PRIu64 "  %-7s  %-19s  ",
                  mode_text(e.unix_mode(), e.is_directory()).c_str(), e.size, e.compressed_size,
                  method_name(e.method).c_str(), time_text(e, ' ').c_str());
    out += row + escaped(e.name) + "\n";
  }
  return out;
}

std::string format_json(const DistributableInfo& info) {
  const TrailerInfo& t = info.trailer;
  std::string out = "{\n";
  out += "  \"file\": " + json_string(info.path) + ",\n";
  out += "  \"layout_version\": " + json_string(t.layout_version) + ",\n";
  out += "  \"trailing_bytes\": " + number(t.trailing_count) + ",\n";
  out += "  \"stub_size\": " + number(static_cast<std::uint64_t>(t.archive_offset)) + ",\n";
  out += "  \"archive_offset\": " + number(static_cast<std::uint64_t>(t.archive_offset)) + ",\n";
  out += "  \"archive_length\": " + number(t.archive_length) + ",\n";
  out += "  \"command_template\": " + json_string(t.command) + ",\n";
  out += "  \"extra_tool_command\": " +
         (t.has_extra_tool_section ? json_string(t.extra_tool_command) : std::string("null")) +
         ",\n";
  out += "  \"entries\": [";
  for (std::size_t i = 0; i < info.entries.size(); ++i) {
    const EntryInfo& e = info.entries[i];
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"name\": " + json_string(e.name) +
           ", \"type\": " + (e.is_directory() ? "\"directory\"" : "\"file\"") +
           ", \"size\": " + number(e.size) + ", \"compressed_size\": " + number(e.compressed_size) +
           ", \"method\": " + json_string(method_name(e.method)) +
           ", \"crc32\": " + number(e.crc32) + ", \"mode\": " + number(e.unix_mode() & 07777) +
           ", \"time\": " + json_string(time_text(e, 'T')) + "}";
  }
  out += info.entries.empty() ? "]\n" : "\n  ]\n";
  return out + "}\n";
}

Status verify_distributable(const std::string& path, std::string& summary) {
  TrailerInfo trailer;
  OpenDistributable file;
  Status status = file.open(path, trailer);
  if (!status.is_ok()) return status;
  if (static_cast<std::uint64_t>(trailer.archive_offset) > MAX_ARCHIVE_OFFSET) {
    return file.damaged("the archive starts at " + std::to_string(trailer.archive_offset) +
                        ", at 4 GiB or beyond, where the stub cannot find it");
  }
  unz_global_info64 global;
  if (unzGetGlobalInfo64(file.zip(), &global) != UNZ_OK) {
    return file.damaged("the archive's central directory is damaged");
  }
  if (global.number_entry > MAX_ENTRY_COUNT) {
    return file.damaged("the archive holds more than " + std::to_string(MAX_ENTRY_COUNT) +
                        " entries, the most the stub unpacks");
  }
  std::string buffer(READ_BUFFER_SIZE, '\0');
  std::uint64_t count = 0;
  EntryInfo entry;
  unz_file_info64 raw;
  for (bool more = file.first(entry, raw, status); more; more = file.next(entry, raw, status)) {
    ++count;
    const std::string name = "entry " + quoted(entry.name);
    const std::string fault = stored_name_fault(entry.name);
    if (!fault.empty()) return file.damaged(fault);
    if (needs_zip64(raw)) {
      return file.damaged(name + " is 4 GiB or larger; the stub unpacks files of at most " +
                          std::to_string(MAX_ENTRY_SIZE) + " bytes");
    }
    if ((raw.flag & ENCRYPTED_FLAG) != 0) return file.damaged(name + " is encrypted");
    if (entry.method != 0 && entry.method != 8) {
      return file.damaged(name + " is compressed with method " + std::to_string(entry.method) +
                          ", which the stub cannot unpack");
    }
    if (unzOpenCurrentFile(file.zip()) != UNZ_OK) {
      return file.damaged(name + ": its data cannot be found");
    }
    int got = 0;
    std::uint64_t total = 0;
    while ((got = unzReadCurrentFile(file.zip(), buffer.data(),
                                     static_cast<unsigned>(buffer.size()))) > 0) {
      total += static_cast<std::uint64_t>(got);
    }
    const int closed = unzCloseCurrentFile(file.zip());
    if (got < 0) {
      return file.damaged(name + ": its data is damaged (error " + std::to_string(got) + ")");
    }
    if (total != entry.size) {
      return file.damaged(name + ": " + std::to_string(total) + " bytes unpacked, " +
                          std::to_string(entry.size) + " recorded");
    }
    if (closed == UNZ_CRCERROR) return file.damaged(name + " fails its CRC-32 check");
    if (closed != UNZ_OK) {
      return file.damaged(name + ": its data is damaged (error " + std::to_string(closed) + ")");
    }
  }
  if (!status.is_ok()) return status;
  if (count != global.number_entry) {
    return file.damaged("the archive lists " + std::to_string(global.number_entry) +
                        " entries but holds " + std::to_string(count));
  }
  summary = escaped(path) + ": OK, " + std::to_string(count) + " entries, archive of " +
            std::to_string(trailer.archive_length) + " bytes at offset " +
            std::to_string(trailer.archive_offset) + ", layout " + trailer.layout_version;
  return Status::ok();
}
