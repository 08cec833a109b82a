#ifndef TESTING_TEST_UTIL_H_
#define TESTING_TEST_UTIL_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Helpers shared by the unit and end-to-end tests: running a program as a user would,
// scratch directories, the files left on disk, and writers for ZIP archives and
// distributable files that can also make broken ones.
namespace sfx_testing {

/// The built stub and generator (overridable with the SFX_STUB and SFX_PACK variables).
std::string stub_path();
std::string pack_path();
/// True when the binaries were built with the address and undefined-behaviour sanitizers.
bool sanitized_build();

/// The emulator that runs programs of another machine, such as qemu-aarch64-static, named by
/// the SFX_STUB_EMULATOR variable; empty when it is not set. When it is set, run_program and
/// Spawned start an ELF program of another machine than the test's own (a distributable file
/// made with a foreign stub) through it, as "EMULATOR -0 ARGV0 PATH ARGS...".
std::string stub_emulator();

/// The ELF machine of a program as its header gives it: class, byte order, e_machine.
struct ElfMachine {
  int elf_class = 0;  ///< 1 for 32-bit, 2 for 64-bit; 0 for no ELF file.
  int data = 0;       ///< 1 little-endian, 2 big-endian.
  std::uint16_t number = 0;
  bool operator==(const ElfMachine&) const = default;
};
/// The machine of the ELF file `path` (the test program's own: "/proc/self/exe").
ElfMachine elf_machine_of(const std::string& path);
/// The uname -m name of the machine of the ELF file `path`, for the machines stubs are built
/// for (x86_64, aarch64, armv7l, ppc64le); "" for another.
std::string machine_name_of(const std::string& path);

/// The start of a made-up ELF program for `machine` (the test's own by default): the ELF
/// header of type `type` (2 executable, 3 shared object) with entry point `entry`, one PT_LOAD
/// program header and, with `interpreter`, a PT_INTERP one, followed by `body`. Stands in for
/// a stub where only its header matters.
std::string elf_image(const std::string& body = "stub image\n", std::uint16_t type = 2,
                      bool interpreter = false, std::uint64_t entry = 0x401000,
                      std::optional<ElfMachine> machine = std::nullopt);

struct RunOptions {
  std::string cwd;                                           ///< Empty: the test's own.
  std::vector<std::pair<std::string, std::string>> env_set;  ///< Variables to set.
  std::vector<std::string> env_unset;                        ///< Variables to remove.
  std::optional<std::string> argv0;  ///< argv[0] when it should differ from the path.
  bool empty_argv = false;           ///< Start the program with no argv[0] at all.
  std::string stdin_data;            ///< Fed to standard input, then closed.
  std::vector<int> ignored_signals;  ///< Set to SIG_IGN in the program, as by its parent.
  bool stdout_closed = false;        ///< Standard output is a pipe whose reading end is closed.
  int timeout_seconds = 120;         ///< The program is killed after this long.
};

struct RunResult {
  int exit_code = -1;   ///< The exit status, or -1 when the program ended by a signal.
  int term_signal = 0;  ///< The signal that ended the program, or 0.
  std::string out;      ///< Everything written to standard output.
  std::string err;      ///< Everything written to standard error.
};

/// Runs `path` with `args` (argv[1]...) and waits for it, collecting both output streams.
RunResult run_program(const std::string& path, const std::vector<std::string>& args,
                      const RunOptions& options = {});

/// A program started in the background; its output is collected by finish().
class Spawned {
 public:
  Spawned(const std::string& path, const std::vector<std::string>& args,
          const RunOptions& options = {});
  ~Spawned();  ///< Kills the program if it is still running.
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;
  pid_t pid() const { return pid_; }
  void send(int signal_number);
  /// Reads both output streams to their end and waits for the program.
  RunResult finish();

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int timeout_seconds_;
};

/// Polls `condition` every 10 ms until it holds or `timeout_ms` have passed.
bool wait_for(const std::function<bool()>& condition, int timeout_ms = 20000);

/// Stops `program` (SIGSTOP) as soon as `reached` holds, and tells whether it stopped while
/// `in_stage` still held: a signal sent next is then taken right there, once it is continued.
bool stop_inside_stage(Spawned& program, const std::function<bool()>& reached,
                       const std::function<bool()>& in_stage);

/// The stub's options help block as it prints it (with the extract-only lines).
inline constexpr char kOptionsHelp[] =
    "\n"
    "SELF EXTRACTOR OPTIONS\n"
    "        --sfx-extract-dir <dir>       : Use <dir> for temporary files during execution\n"
    "        --sfx-extract-only            : Do not execute, only extract files to a location\n"
    "                                        specified through the --sfx-extract-dir option\n"
    "\n";

/// Offset of the first entry's data in a ZIP archive: behind its local header, name and
/// extra field.
size_t first_data_offset(const std::string& zip);

/// Position of the `index`-th header with `signature` ("PK\1\2" central, "PK\3\4" local) in
/// a ZIP archive; npos when there are fewer.
size_t header_at(const std::string& zip, const char* signature, int index);

/// Writes `value` as four little-endian bytes at `at`, over what is there.
void put_le32(std::string& zip, size_t at, std::uint32_t value);

/// `size` bytes of text that deflates well, the same every time.
std::string text_bytes(std::size_t size);

/// `size` pseudo-random bytes, the same for the same seed.
std::string random_bytes(std::size_t size, unsigned seed);

/// Sets the process's umask for as long as it lives.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : old_(umask(mask)) {}
  ~UmaskScope() { umask(old_); }
  UmaskScope(const UmaskScope&) = delete;
  UmaskScope& operator=(const UmaskScope&) = delete;

 private:
  mode_t old_;
};

/// A scratch directory under /tmp, removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// `text` with every "@" replaced by `dir`: how table-driven tests name their scratch
/// directory in the messages they expect.
std::string with_dir(std::string text, const std::string& dir);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data, mode_t mode = 0644);
bool path_exists(const std::string& path);  ///< lstat succeeds.
/// Names in `dir` (not recursive, sorted), or an empty list when it cannot be read.
std::vector<std::string> list_dir(const std::string& dir);
/// Every path below `dir`, relative to it, directories with a trailing "/", sorted.
std::vector<std::string> list_tree(const std::string& dir);
mode_t mode_of(const std::string& path);  ///< Permission bits (07777) of lstat.

/// Watches /tmp for the launcher's temporary work roots ("/tmp/sfxter_*").
class WorkRootWatch {
 public:
  WorkRootWatch();
  /// Work roots that appeared since construction and are still there: empty ones, and those
  /// holding `program_name` + "-dir". Roots that other launchers are using at the same time
  /// (holding a payload directory of another name, or empty only for a moment) don't count.
  std::vector<std::string> leftovers(const std::string& program_name = "") const;

 private:
  std::set<std::string> before_;
};

/// A time for ZipEntry::mtime: the full year, the month 1-12, on the hour.
std::tm local_date(int year, int month, int day, int hour);

/// One entry of a ZIP archive written by make_zip.
struct ZipEntry {
  std::string name;  ///< Stored name; a trailing "/" makes a directory entry.
  std::string data;
  std::uint32_t unix_mode = 0100644;  ///< Stored in the upper half of the external attributes.
  std::optional<std::uint32_t> external_attr;  ///< Overrides unix_mode when set.
  std::tm mtime = default_time();              ///< Stored as a local-time DOS date.
  bool deflate = true;

  static std::tm default_time();  ///< 2024-04-04 20:31:08.
  /// An entry with `name`, `data` and `unix_mode`, the other fields at their defaults.
  static ZipEntry file(const std::string& name, const std::string& data,
                       std::uint32_t unix_mode = 0100644);
};

/// A ZIP archive with `entries`, in order, written with minizip's zip API.
std::string make_zip(const std::vector<ZipEntry>& entries);

/// A ZIP archive with one stored entry whose sizes are kept in ZIP64 extra fields (the 32-bit
/// size fields hold 0xFFFFFFFF), as a generator writes entries of 4 GiB or more; the extra field
/// declares `declared_size` unpacked bytes when given (the data stays `data`).
std::string make_zip64_zip(const std::string& name, const std::string& data,
                           std::optional<std::uint64_t> declared_size = std::nullopt);

/// The directory of archives from other projects' ZIP test suites: $SFX_INTEROP_ZIPS, or
/// "shared/interop-zips" beside the source tree.
std::string interop_zips_dir();

/// One entry of an archive written field by field by make_raw_zip: every field as given, so
/// that archives other tools write (other hosts, methods, flags) can be made exactly.
struct RawZipEntry {
  std::string name;
  std::string data;  ///< Stored as it is (already compressed, for method 8).
  std::uint16_t method = 0;
  std::uint16_t flags = 0;
  std::uint16_t version_made_by = 3 << 8 | 20;  ///< Host in the high byte (3 Unix, 0 MS-DOS).
  std::uint32_t external_attributes = 0100644u << 16;
  std::optional<std::uint32_t> crc;                ///< Default: the CRC-32 of `data`.
  std::optional<std::uint32_t> uncompressed_size;  ///< Default: the size of `data`.
  std::string extra;  ///< The extra field, the same in the local and the central header.

  /// A stored entry with `name` and `data`.
  static RawZipEntry stored(const std::string& name, const std::string& data,
                            std::uint32_t unix_mode = 0100644);
};

/// How make_raw_zip ends an archive.
struct RawZipEnd {
  std::string comment;  ///< The archive comment behind the end record (at most 65,535 bytes).
  /// A ZIP64 end record and its locator ahead of the end record, whose own count, size and
  /// offset fields then hold 0xFFFF and 0xFFFFFFFF.
  bool zip64 = false;
};

/// A ZIP archive: local headers and data, the central directory and an end record whose entry
/// count is `count_field` when given, else the number of entries modulo 65,536 (as a writer
/// without ZIP64 puts it); with `end.zip64`, a ZIP64 end record that holds the whole count.
std::string make_raw_zip(const std::vector<RawZipEntry>& entries,
                         std::optional<std::uint16_t> count_field = std::nullopt,
                         const RawZipEnd& end = {});

/// `text` as a raw DEFLATE stream, as a ZIP entry holds it.
std::string raw_deflate(const std::string& text);

/// Writes a distributable file byte by byte: stub image, archive, trailer, trailing bytes.
/// Every field can be replaced, so broken files can be made as easily as sound ones.
struct DistributableBuilder {
  std::string stub;                          ///< The stub image; by default the built stub's bytes.
  std::string archive;                       ///< The appended archive bytes.
  std::string command;                       ///< The command template (NUL-padded to 256 bytes).
  std::optional<std::string> command_field;  ///< Raw 256-byte command field.
  std::optional<std::uint32_t> archive_length;    ///< Overrides the archive's real length.
  std::optional<std::string> extra_tool_command;  ///< When set, an extra-tool section is written.
  std::string extra_tool_marker_field = field("QVRT_EXTRA_TOOL_PATT:", 32);
  std::string version_marker_field = field("QVRT_VERSION_PATT:", 32);
  std::string layout_version_field = field("2.0", 8);
  std::string trailing;  ///< Bytes after the layout version.

  DistributableBuilder();
  std::string bytes() const;
  /// Writes bytes() to `path` with mode 0755.
  void write(const std::string& path) const;

  /// `text` NUL-padded to `size` bytes (cut to `size` when longer).
  static std::string field(const std::string& text, size_t size);
  /// `value` as 4 big-endian bytes.
  static std::string big_endian32(std::uint32_t value);
};

}  // namespace sfx_testing

#endif  // TESTING_TEST_UTIL_H_
