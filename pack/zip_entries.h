#ifndef PACK_ZIP_ENTRIES_H_
#define PACK_ZIP_ENTRIES_H_

#include <minizip/unzip.h>

#include <cstdint>
#include <set>
#include <string>

#include "extract/entry_rules.h"

/// Reads the current entry's data whole (it is opened and closed here) and checks it against its
/// size and CRC-32; keeps at most `keep` bytes of it in `data`. Returns an empty text when the
/// data is sound, or what is wrong with it (" fails its CRC-32 check", ": its data is
/// damaged (error -3)", ...), to follow the entry's name in a message.
std::string read_entry_data(unzFile zip, std::uint64_t size, std::size_t keep, std::string& data);

/// What check_archive found in a sound archive.
struct ArchiveCheck {
  std::uint64_t entry_count = 0;
  std::set<std::string> executables;  ///< Names of file entries with an execute bit.
};

/// Steps through every entry of `zip` from the first and checks it as the stub would unpack
/// it: the stub's entry rules (name, encryption, method, sizes, link targets), the names and
/// sizes this generator refuses, and every entry's data against its CRC-32; then that the
/// central directory holds as many entries as it says. Returns an empty text when the stub
/// unpacks every entry, or the first fault, naming the entry and the rule it breaks.
std::string check_archive(unzFile zip, ArchiveCheck& check);

#endif  // PACK_ZIP_ENTRIES_H_
