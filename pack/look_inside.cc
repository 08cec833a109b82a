#include "pack/look_inside.h"

#include <minizip/unzip.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "extract/entry_rules.h"
#include "extract/zip_reader.h"
#include "pack/create.h"
#include "pack/source_tree.h"
#include "pack/zip_entries.h"
#include "pack/zip_window.h"
#include "payload/stub_machine.h"

// The JSON library brings std::quoted along: the message helper is called as ::quoted here.

namespace {

constexpr std::size_t NAME_BUFFER_SIZE = 65536;

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
      return Status::input_fault("cannot read " + ::quoted(path) + ": " + error_text(errno));
    switch (read_trailer(file_.get(), trailer)) {
      case TrailerStatus::kOk:
        break;
      case TrailerStatus::kIoError:
        return Status::input_fault("cannot read " + ::quoted(path) + ": " + error_text(errno));
      case TrailerStatus::kTooShort:
      case TrailerStatus::kNoMarker:
        return Status::input_fault(::quoted(path) +
                                   " has no trailer: it is not a distributable file");
      case TrailerStatus::kNoVersion:
        return Status::input_fault(::quoted(path) +
                                   " has a damaged trailer: its layout version is cut off");
      case TrailerStatus::kVersionMismatch:
        return Status::input_fault(::quoted(path) + " has a trailer of layout version " +
                                   ::quoted(trailer.layout_version) + "; this sfx_pack reads " +
                                   ::quoted(PayloadTrailer::LAYOUT_VERSION));
      case TrailerStatus::kTruncated:
        return Status::input_fault(::quoted(path) + " has a damaged trailer: its archive of " +
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
      return Status::input_fault(::quoted(path) + ": the appended archive (" +
                                 std::to_string(trailer.archive_length) + " bytes at offset " +
                                 std::to_string(trailer.archive_offset) +
                                 ") is not a readable ZIP archive");
    }
    return Status::ok();
  }

  unzFile zip() const { return zip_; }
  std::FILE* file() const { return file_.get(); }

  // Steps through the entries: first() then next() until they return false; `status` tells
  // an end of the list (ok) from a damaged central directory.
  bool first(EntryInfo& entry, unz_file_info64& raw, Status& status) {
    return load(unzGoToFirstFile(zip_), entry, raw, status);
  }
  bool next(EntryInfo& entry, unz_file_info64& raw, Status& status) {
    return load(unzGoToNextFile(zip_), entry, raw, status);
  }

  Status damaged(const std::string& what) const {
    return Status::input_fault(::quoted(path_) + ": " + what);
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
    const EntryFacts facts = facts_of(raw, entry.name.c_str());
    entry.kind = entry_kind(facts);
    entry.rule = check_entry(facts);
    if (entry.kind == EntryKind::kSymlink && entry.rule == EntryRule::kOk) {
      // A link whose data cannot be read has no target the stub could make.
      read_entry_data(zip_, entry.size, ENTRY_LINK_TARGET_MAX + 1, entry.link_target);
      if (!is_safe_link_target(entry.name, entry.link_target)) entry.rule = EntryRule::kLinkTarget;
    }
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
std::string mode_text(std::uint32_t mode, EntryKind kind) {
  return mode_text(kind, static_cast<mode_t>(mode & 07777));
}

std::string time_text(const EntryInfo& entry, char separator) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", entry.year, entry.month,
                entry.day, separator, entry.hour, entry.minute, entry.second);
  return text;
}

// Sets `key` to `text`; a text that is not valid UTF-8 gets `key`_hex with its raw bytes too
// (the document itself shows U+FFFD for what cannot be decoded).
void put_text(nlohmann::ordered_json& object, const std::string& key, const std::string& text) {
  object[key] = text;
  if (is_valid_utf8(text)) return;
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : text) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0xF];
  }
  object[key + "_hex"] = hex;
}

const char* kind_name(EntryKind kind) {
  switch (kind) {
    case EntryKind::kFile:
      return "file";
    case EntryKind::kDirectory:
      return "directory";
    case EntryKind::kSymlink:
      return "link";
  }
  return "file";
}

std::string number(std::uint64_t value) { return std::to_string(value); }

}  // namespace

Status read_distributable(const std::string& path, DistributableInfo& info) {
  info = DistributableInfo{};
  info.path = path;
  OpenDistributable file;
  Status status = file.open(path, info.trailer);
  if (!status.is_ok()) return status;
  info.stub_machine =
      stub_machine_text(path, static_cast<std::uint64_t>(info.trailer.archive_offset));
  if (find_signature_block(fileno(file.file()), info.trailer.file_length, info.signature) != 0) {
    return Status::input_fault("cannot read " + ::quoted(path) + ": " + error_text(errno));
  }
  if (std::string label = archive_comment(file.zip()); !label.empty()) info.label = label;
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
  line("stub machine:", info.stub_machine);
  line("archive offset:", number(static_cast<std::uint64_t>(t.archive_offset)));
  line("archive length:", number(t.archive_length) + " bytes");
  line("command template:", ::quoted(t.command));
  line("extra-tool command:", t.has_extra_tool_section ? ::quoted(t.extra_tool_command) : "none");
  line("label:", info.label ? ::quoted(*info.label) : "none");
  line("signature:", signature_block_text(info.signature));
  if (info.signature.status == SignatureBlockStatus::kFound) {
    line("trusted comment:", ::quoted(info.signature.trusted_comment));
  }
  line("entries:", number(info.entries.size()));
  if (info.entries.empty()) return out;
  char row[160];
  std::snprintf(row, sizeof row, "  %-10s  %12s  %12s  %-7s  %-19s  %s\n", "mode", "size",
                "compressed", "method", "time", "name");
  out += row;
  for (const EntryInfo& e : info.entries) {
    std::snprintf(row, sizeof row, "  %-10s  %12" PRIu64 "  %12" PRIu64 "  %-7s  %-19s  ",
                  mode_text(e.unix_mode(), e.kind).c_str(), e.size, e.compressed_size,
                  method_name(e.method).c_str(), time_text(e, ' ').c_str());
    out += row + escaped(e.name);
    if (e.kind == EntryKind::kSymlink) out += " -> " + escaped(e.link_target);
    if (e.rule != EntryRule::kOk)
      out += std::string("  [refused by the stub: ") + entry_rule_name(e.rule) + "]";
    out += "\n";
  }
  return out;
}

std::string format_json(const DistributableInfo& info) {
  const TrailerInfo& t = info.trailer;
  nlohmann::ordered_json document = nlohmann::ordered_json::object();
  put_text(document, "file", info.path);
  put_text(document, "layout_version", t.layout_version);
  document["trailing_bytes"] = t.trailing_count;
  document["stub_size"] = static_cast<std::uint64_t>(t.archive_offset);
  document["stub_machine"] = info.stub_machine;
  document["archive_offset"] = static_cast<std::uint64_t>(t.archive_offset);
  document["archive_length"] = t.archive_length;
  put_text(document, "command_template", t.command);
  if (t.has_extra_tool_section) {
    put_text(document, "extra_tool_command", t.extra_tool_command);
  } else {
    document["extra_tool_command"] = nullptr;
  }
  if (info.label) {
    put_text(document, "label", *info.label);
  } else {
    document["label"] = nullptr;
  }
  nlohmann::ordered_json signature = nullptr;
  if (info.signature.status == SignatureBlockStatus::kFound) {
    signature = nlohmann::ordered_json::object();
    signature["key_id"] = key_id_text(info.signature.key_id.data());
    put_text(signature, "trusted_comment", info.signature.trusted_comment);
    signature["offset"] = info.signature.offset;
    signature["length"] = info.signature.length;
    signature["verified"] = false;
  } else if (info.signature.status == SignatureBlockStatus::kMalformed) {
    signature = nlohmann::ordered_json::object();
    signature["damaged"] = info.signature.problem;
  }
  document["signature"] = std::move(signature);
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  for (const EntryInfo& e : info.entries) {
    nlohmann::ordered_json entry = nlohmann::ordered_json::object();
    put_text(entry, "name", e.name);
    entry["type"] = kind_name(e.kind);
    if (e.kind == EntryKind::kSymlink) put_text(entry, "target", e.link_target);
    entry["size"] = e.size;
    entry["compressed_size"] = e.compressed_size;
    entry["method"] = method_name(e.method);
    entry["crc32"] = e.crc32;
    entry["mode"] = e.unix_mode() & 07777;
    entry["time"] = time_text(e, 'T');
    if (e.rule == EntryRule::kOk) {
      entry["refused"] = nullptr;
    } else {
      entry["refused"] = entry_rule_name(e.rule);
    }
    entries.push_back(std::move(entry));
  }
  document["entries"] = std::move(entries);
  // Bytes that are no UTF-8 come out as U+FFFD, so that the document is valid whatever it holds.
  return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
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
  ArchiveCheck check;
  const std::string fault = check_archive(file.zip(), check);
  if (!fault.empty()) return file.damaged(fault);
  summary = escaped(path) + ": OK, " + std::to_string(check.entry_count) + " entries, archive of " +
            std::to_string(trailer.archive_length) + " bytes at offset " +
            std::to_string(trailer.archive_offset) + ", layout " + trailer.layout_version;
  return Status::ok();
}
