#include "launcher/look_inside.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

#include "extract/check.h"
#include "extract/entry_rules.h"
#include "extract/extract.h"
#include "extract/zip_reader.h"
#include "payload/carve.h"
#include "payload/signature_block.h"
#include "payload/stub_machine.h"
#include "payload/trailer.h"

namespace {

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// The mode the entry gets on disk when it is unpacked by this user.
mode_t unpacked_mode(EntryKind kind, const EntryFacts& entry, mode_t mask) {
  switch (kind) {
    case EntryKind::kDirectory:
      return directory_mode_of(entry) & ~mask;
    case EntryKind::kSymlink:
      return 0777;
    case EntryKind::kFile:
      break;
  }
  return file_mode_of(entry, mask);
}

// The entry's time as unpacking sets it, in local time: "YYYY-MM-DD HH:MM:SS".
std::string time_text(const tm_unz& date) {
  const time_t when = entry_time(date);
  std::tm local = {};
  char text[64] = "0000-00-00 00:00:00";  // A date that no local time can show.
  if (when != static_cast<time_t>(-1) && localtime_r(&when, &local) != nullptr) {
    // Formatted by hand: strftime would bring the locale's calendar machinery into the stub.
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  }
  return text;
}

// The stored name as messages show it; a name too long for the stub is marked as cut.
std::string shown_name(const EntryFacts& entry) {
  std::string name = printable_text(entry.name);
  if (entry.name_length >= static_cast<std::uint64_t>(ENTRY_NAME_SIZE)) name += "...";
  return name;
}

// One --sfx-list line. A link's target is read when the entry rules let its data be read, and
// shown unjudged: the listing shows what is there. Returns the code of that read after its
// message, or 0.
int print_entry_line(ZipReader& zip, const EntryFacts& entry, const unz_file_info64& info,
                     mode_t mask) {
  const EntryKind kind = entry_kind(entry);
  std::string name = shown_name(entry);
  if (kind == EntryKind::kSymlink) {
    std::string target;
    if (const EntryRule rule = check_entry(entry); rule != EntryRule::kOk) {
      target = std::string("(") + entry_rule_name(rule) + ")";  // Its data is not readable.
    } else if (info.uncompressed_size > ENTRY_LINK_TARGET_MAX) {
      target = link_size_text(info.uncompressed_size);
    } else if (const int err = read_link_data(zip, info, target); err != UNZ_OK) {
      return err;
    } else {
      target = printable_text(target);
    }
    name += " -> " + target;
  }
  std::printf("%s %12" PRIu64 " %s %s\n", mode_text(kind, unpacked_mode(kind, entry, mask)).c_str(),
              static_cast<std::uint64_t>(info.uncompressed_size), time_text(info.tmu_date).c_str(),
              name.c_str());
  return UNZ_OK;
}

// Walks the archive's entries, calling `each` for every one (when set) and counting them and
// their unpacked sizes. Returns 0, or EXIT_LAUNCH_FAILURE after the failing step's message.
int walk_entries(
    const ArchiveSource& archive, ArchiveTotals& totals,
    const std::function<int(ZipReader&, const EntryFacts&, const unz_file_info64&)>& each) {
  ZipReader zip;
  bool has_entries = false;
  const int opened = open_entries(zip, archive, has_entries);
  if (opened == EXTRACT_ERR_OPEN) std::fputs("-E- No valid attachment found\n", stderr);
  if (opened != EXTRACT_OK) return EXIT_LAUNCH_FAILURE;
  if (!has_entries) return 0;
  const int walked = zip.for_each_entry([&](const EntryFacts& entry, const unz_file_info64& info) {
    if (each) {
      if (const int err = each(zip, entry, info); err != 0) return err;
    }
    ++totals.entries;
    totals.bytes += info.uncompressed_size;
    return 0;
  });
  return walked == 0 ? 0 : EXIT_LAUNCH_FAILURE;
}

void print_field(const char* label, const std::string& value) {
  std::printf("%-20s%s\n", label, value.c_str());
}

// The label line: the archive's comment, read by a reader of its own.
std::string label_text(const ArchiveSource& archive) {
  ZipReader zip;
  if (zip.open(archive) != ArchiveOpen::kOk) return "none";
  const std::string label = archive_comment(zip);
  return label.empty() ? "none" : quoted_text(label);
}

// The signature line: the stub finds and describes the block; it checks nothing.
std::string signature_text(const LaunchContext& ctx, const TrailerInfo& trailer) {
  SignatureBlockInfo block;
  if (find_trailing_signature(ctx.self_fd, trailer, block) != 0) return "unreadable";
  return signature_block_text(block);
}

int print_info(const LaunchContext& ctx, const TrailerInfo& trailer, const ArchiveSource& archive) {
  ArchiveTotals totals;
  if (walk_entries(archive, totals, nullptr) != 0) return EXIT_LAUNCH_FAILURE;
  const std::string offset = std::to_string(trailer.archive_offset);
  print_field("file:", printable_text(ctx.self_path));
  print_field("layout version:", trailer.layout_version);
  print_field("stub size:", offset + " bytes");
  print_field("stub machine:", stub_machine_text(ctx.self_fd, trailer.archive_offset));
  print_field("archive offset:", offset);
  print_field("archive length:", std::to_string(trailer.archive_length) + " bytes");
  print_field("trailing bytes:", std::to_string(trailer.trailing_count));
  print_field("command template:", quoted_text(trailer.command));
  print_field("extra-tool command:",
              trailer.has_extra_tool_section ? quoted_text(trailer.extra_tool_command) : "none");
  print_field("label:", label_text(archive));
  print_field("signature:", signature_text(ctx, trailer));
  print_field("entries:", std::to_string(totals.entries));
  print_field("unpacked size:", std::to_string(totals.bytes) + " bytes");
  return 0;
}

int print_list(const ArchiveSource& archive) {
  const mode_t mask = current_umask();
  ArchiveTotals totals;
  const int walked =
      walk_entries(archive, totals,
                   [mask](ZipReader& zip, const EntryFacts& entry, const unz_file_info64& info) {
                     return print_entry_line(zip, entry, info, mask);
                   });
  if (walked != 0) return walked;
  std::printf("total: %" PRIu64 " entries, %" PRIu64 " bytes\n", totals.entries, totals.bytes);
  return 0;
}

int check(const LaunchContext& ctx, const ArchiveSource& archive) {
  ArchiveTotals totals;
  std::string failed_entry;
  const int checked = check_archive(archive, totals, failed_entry);
  const std::string file = printable_text(ctx.self_path);
  if (checked == EXTRACT_ERR_OPEN) {
    std::fputs("-E- No valid attachment found\n", stderr);
    return EXIT_LAUNCH_FAILURE;
  }
  // The step's own message says what failed; this line says where, as a run's own "Failed to
  // extract" line does.
  if (checked != EXTRACT_OK && failed_entry.empty()) {
    std::fprintf(stderr, "-E- Check failed: %s\n", file.c_str());
    return EXIT_LAUNCH_FAILURE;
  }
  if (checked != EXTRACT_OK) {
    std::fprintf(stderr, "-E- Check failed at entry %s: %s\n", printable_text(failed_entry).c_str(),
                 file.c_str());
    return EXIT_LAUNCH_FAILURE;
  }
  std::printf("%s: OK, %" PRIu64 " entries, %" PRIu64 " bytes\n", file.c_str(), totals.entries,
              totals.bytes);
  return 0;
}

}  // namespace

int run_look_inside(LookInside option, const LaunchContext& ctx) {
  if (option == LookInside::kHelp) {
    print_stub_options();
    return 0;
  }
  TrailerInfo trailer;
  errno = ctx.self_open_error;
  if (locate_archive(ctx.self_fd, ctx.self_path, trailer) != CARVE_OK) return EXIT_LAUNCH_FAILURE;
  const ArchiveSource archive = {ctx.self_fd, static_cast<std::uint64_t>(trailer.archive_offset),
                                 trailer.archive_length};
  switch (option) {
    case LookInside::kInfo:
      return print_info(ctx, trailer, archive);
    case LookInside::kList:
      return print_list(archive);
    case LookInside::kCheck:
      return check(ctx, archive);
    case LookInside::kNone:
    case LookInside::kHelp:
      break;
  }
  return 0;
}
