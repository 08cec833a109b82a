#include "pack/zip_entries.h"

#include <algorithm>
#include <vector>

#include "extract/zip_reader.h"
#include "pack/source_tree.h"
#include "pack/status.h"
#include "pack/zip_window.h"

namespace {

constexpr std::size_t NAME_BUFFER_SIZE = 65536;
constexpr std::size_t READ_BUFFER_SIZE = 64 * 1024;

// Why the stub refuses the entry `facts` (whose data, for a link, is `target`), or "".
std::string refusal(EntryRule rule, const EntryFacts& facts, const std::string& target) {
  std::string text =
      "entry " + quoted(facts.name) + " is refused by the stub: " + entry_rule_name(rule);
  if (rule == EntryRule::kUnsupportedMethod) text += " " + std::to_string(facts.method);
  if (rule == EntryRule::kLinkTarget) text += " (" + quoted(target) + ")";
  return text;
}

}  // namespace

std::string read_entry_data(unzFile zip, std::uint64_t size, std::size_t keep, std::string& data) {
  data.clear();
  if (unzOpenCurrentFile(zip) != UNZ_OK) return ": its data cannot be found";
  std::vector<char> buffer(READ_BUFFER_SIZE);
  int got = 0;
  std::uint64_t total = 0;
  while ((got = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
    total += static_cast<std::uint64_t>(got);
    if (data.size() < keep) {
      data.append(buffer.data(),
                  std::min<std::size_t>(static_cast<std::size_t>(got), keep - data.size()));
    }
  }
  const int closed = unzCloseCurrentFile(zip);
  if (got < 0) return ": its data is damaged (error " + std::to_string(got) + ")";
  if (total != size) {
    return ": " + std::to_string(total) + " bytes unpacked, " + std::to_string(size) + " recorded";
  }
  if (closed == UNZ_CRCERROR) return " fails its CRC-32 check";
  if (closed != UNZ_OK) return ": its data is damaged (error " + std::to_string(closed) + ")";
  return {};
}

std::string check_archive(unzFile zip, ArchiveCheck& check) {
  check = ArchiveCheck{};
  unz_global_info64 global;
  if (unzGetGlobalInfo64(zip, &global) != UNZ_OK) {
    return "the archive's central directory is damaged";
  }
  if (global.number_entry > MAX_ENTRY_COUNT) {
    return "the archive holds more than " + std::to_string(MAX_ENTRY_COUNT) +
           " entries, the most the stub unpacks";
  }
  std::string name_buffer(NAME_BUFFER_SIZE, '\0');
  std::string data;
  for (int moved = unzGoToFirstFile(zip); moved != UNZ_END_OF_LIST_OF_FILE;
       moved = unzGoToNextFile(zip)) {
    unz_file_info64 info;
    if (moved != UNZ_OK ||
        unzGetCurrentFileInfo64(zip, &info, name_buffer.data(), name_buffer.size(), nullptr, 0,
                                nullptr, 0) != UNZ_OK) {
      return "the archive's central directory is damaged";
    }
    ++check.entry_count;
    const std::string name(name_buffer.data(),
                           std::min<std::size_t>(info.size_filename, name_buffer.size()));
    const std::string entry = "entry " + quoted(name);
    const std::string fault = stored_name_fault(name);
    if (!fault.empty()) return fault;
    if (needs_zip64(info)) {
      return entry + " is 4 GiB or larger; the stub unpacks files of at most " +
             std::to_string(MAX_ENTRY_SIZE) + " bytes";
    }
    const EntryFacts facts = facts_of(info, name.c_str());
    const EntryRule rule = check_entry(facts);
    if (rule != EntryRule::kOk) return refusal(rule, facts, {});
    const EntryKind kind = entry_kind(facts);
    if (kind == EntryKind::kDirectory) continue;
    const std::string damage =
        read_entry_data(zip, info.uncompressed_size,
                        kind == EntryKind::kSymlink ? ENTRY_LINK_TARGET_MAX + 1 : 0, data);
    if (!damage.empty()) return entry + damage;
    if (kind == EntryKind::kSymlink && !is_safe_link_target(name, data)) {
      return refusal(EntryRule::kLinkTarget, facts, data);
    }
    if (kind == EntryKind::kFile && (file_mode_of(facts, 0) & 0111) != 0) {
      check.executables.insert(name);
    }
  }
  if (check.entry_count != global.number_entry) {
    return "the archive lists " + std::to_string(global.number_entry) + " entries but holds " +
           std::to_string(check.entry_count);
  }
  return {};
}
