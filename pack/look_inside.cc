#include "pack/look_inside.h"

#include <minizip/unzip.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "extract/check.h"
#include "extract/entry_rules.h"
#include "extract/extract.h"
#include "extract/zip_reader.h"
#include "pack/create.h"
#include "pack/source_tree.h"
#include "pack/zip_entries.h"
#include "payload/stub_machine.h"

// The JSON library brings std::quoted along: the message helper is called as ::quoted here.

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// A distributable file opened for reading: its trailer read, its archive open in minizip.
class OpenDistributable {
 public:
  Status open(const std::string& path, TrailerInfo& trailer) {
    path_ = path;
    file_.reset(std::fopen(path.c_str(), "rbe"));
    if (!file_)
      return Status::input_fault("cannot read " + ::quoted(path) + ": " + error_text(errno));
    switch (read_trailer(file_.get(), trailer)) {
      case TrailerStatus::kOk:
        break;
      case TrailerStatus::kSeekEndFailed:
      case TrailerStatus::kLengthUnknown:
      case TrailerStatus::kScanSeekFailed:
      case TrailerStatus::kScanReadFailed:
      case TrailerStatus::kExtraToolSeekFailed:
      case TrailerStatus::kExtraToolMarkerReadFailed:
      case TrailerStatus::kExtraToolCommandReadFailed:
      case TrailerStatus::kCommandReadFailed:
      case TrailerStatus::kLengthReadFailed:
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
      case TrailerStatus::kCommandBeforeFile:
      case TrailerStatus::kArchiveBeforeFile:
        return Status::input_fault(::quoted(path) + " has a damaged trailer: its archive of " +
                                   std::to_string(trailer.archive_length) +
                                   " bytes would start before the file does");
    }
    archive_ = {fileno(file_.get()), static_cast<std::uint64_t>(trailer.archive_offset),
                trailer.archive_length};
    return Status::ok();
  }

  const ArchiveSource& archive() const { return archive_; }

  Status not_a_zip(const TrailerInfo& trailer) const {
    return Status::input_fault(::quoted(path_) + ": the appended archive (" +
                               std::to_string(trailer.archive_length) + " bytes at offset " +
                               std::to_string(trailer.archive_offset) +
                               ") is not a readable ZIP archive");
  }

  Status damaged(const std::string& what) const {
    return Status::input_fault(::quoted(path_) + ": " + what);
  }

 private:
  std::string path_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  ArchiveSource archive_;
};

// The listing's record of the entry being visited in `zip`: what its central header says, the
// rule by which the stub refuses it, and a link's target read from its data.
EntryInfo entry_info(ZipReader& zip, const EntryFacts& facts, const unz_file_info64& raw) {
  EntryInfo entry;
  entry.name = facts.name;
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
  entry.kind = entry_kind(facts);
  entry.rule = check_entry(facts);
  if (entry.kind == EntryKind::kSymlink && entry.rule == EntryRule::kOk) {
    if (entry.size > ENTRY_LINK_TARGET_MAX) {
      entry.link_target = link_size_text(entry.size);
      entry.rule = EntryRule::kLinkTarget;
    } else {
      // A link whose data cannot be read has no target the stub could make.
      read_link_data(zip, raw, entry.link_target);
      if (!is_safe_link_target(entry.name, entry.link_target, zip.links())) {
        entry.rule = EntryRule::kLinkTarget;
      }
    }
  }
  return entry;
}

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
  if (find_trailing_signature(file.archive().fd, info.trailer, info.signature) != 0) {
    return Status::input_fault("cannot read " + ::quoted(path) + ": " + error_text(errno));
  }
  // The reader's lines become the one message of the fault, worded as sfx_pack words them.
  CapturedLines lines;
  ZipReader zip;
  bool has_entries = false;
  const int opened = open_entries(zip, file.archive(), has_entries);
  if (opened == EXTRACT_ERR_OPEN) return file.not_a_zip(info.trailer);
  if (opened != EXTRACT_OK) {
    return file.damaged("the stub refuses the archive: " + lines.first_line());
  }
  if (std::string label = archive_comment(zip); !label.empty()) info.label = label;
  if (!has_entries) return Status::ok();
  const int walked = zip.for_each_entry([&](const EntryFacts& facts, const unz_file_info64& raw) {
    info.entries.push_back(entry_info(zip, facts, raw));
    return 0;
  });
  if (walked == 0) return Status::ok();
  const std::string& refused = zip.refused_entry();
  if (refused.empty()) return file.damaged("the stub refuses the archive: " + lines.first_line());
  return file.damaged("the stub refuses entry " + ::quoted(refused) + ": " + lines.first_line());
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
  // Bytes that are no UTF-8 come out as U+FFFD, so that the document is valid whatever it holds;
  // everything beyond ASCII is written as \uXXXX, so that no C1 control reaches a terminal.
  return document.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
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
  std::string fault;
  switch (check_archive_as_stub(file.archive(), check, fault)) {
    case ZipCheck::kOk:
    case ZipCheck::kEmpty:
      break;
    case ZipCheck::kNotZip:
      return file.not_a_zip(trailer);
    case ZipCheck::kRefused:
      return file.damaged(fault);
  }
  summary = escaped(path) + ": OK, " + std::to_string(check.entry_count) + " entries, archive of " +
            std::to_string(trailer.archive_length) + " bytes at offset " +
            std::to_string(trailer.archive_offset) + ", layout " + trailer.layout_version;
  return Status::ok();
}
