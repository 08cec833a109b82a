#include "pack/create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>

#include "extract/entry_rules.h"
#include "pack/output_file.h"
#include "pack/progress.h"
#include "pack/source_tree.h"
#include "pack/stub_choice.h"
#include "pack/zip_entries.h"
#include "payload/stub_machine.h"
#include "payload/trailer.h"

namespace {

constexpr std::size_t COPY_BUFFER_SIZE = 1024 * 1024;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

struct FdCloser {
  explicit FdCloser(int descriptor) : fd(descriptor) {}
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  const int fd;
};

Status check_text(const std::string& what, const std::string& text) {
  if (text.empty()) return Status::usage("the " + what + " is empty");
  if (text.size() > static_cast<std::size_t>(PayloadTrailer::COMMAND_SIZE)) {
    return Status::usage("the " + what + " is " + std::to_string(text.size()) +
                         " bytes long; the trailer holds at most " +
                         std::to_string(PayloadTrailer::COMMAND_SIZE));
  }
  return Status::ok();
}

// Checks the stub: a regular file the archive can follow, and a static executable for
// `machine`. Sets `info` to what the check saw, so that the copy can tell if it changed since.
Status check_stub(const std::string& path, const std::string& machine, struct stat& info,
                  std::uint64_t& size) {
  // Not blocking: a fifo given as the stub is refused, not waited on.
  const FdCloser stub(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (stub.fd < 0 || fstat(stub.fd, &info) != 0) {
    return Status::input_fault("cannot read the stub " + quoted(path) + ": " + error_text(errno));
  }
  if (!S_ISREG(info.st_mode))
    return Status::input_fault("the stub " + quoted(path) + " is not a file");
  if (info.st_size == 0) return Status::input_fault("the stub " + quoted(path) + " is empty");
  size = static_cast<std::uint64_t>(info.st_size);
  if (size > MAX_ARCHIVE_OFFSET) {
    return Status::input_fault("the stub " + quoted(path) + " is " + std::to_string(size) +
                               " bytes long: the archive would start at 4 GiB or beyond, "
                               "where the stub cannot find it");
  }
  return check_stub_image(stub.fd, size, path, machine);
}

// Checks an existing ZIP archive without changing it, as the stub reads it: the stub must
// unpack every entry, and every entry's data must match its CRC-32. Collects the names of
// executable files.
Status check_zip_source(const std::string& path, std::set<std::string>& executables,
                        std::size_t& entry_count) {
  const FdCloser zip(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info;
  if (zip.fd < 0 || fstat(zip.fd, &info) != 0) {
    return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
  }
  if (!S_ISREG(info.st_mode)) {
    return Status::input_fault(quoted(path) + " is neither a directory nor a ZIP archive");
  }
  const ArchiveSource archive = {zip.fd, 0, static_cast<std::uint64_t>(info.st_size)};
  ArchiveCheck check;
  std::string fault;
  switch (check_archive_as_stub(archive, check, fault)) {
    case ZipCheck::kOk:
      break;
    case ZipCheck::kEmpty:
      return Status::input_fault(
          "the ZIP archive " + quoted(path) +
          " has no entries; the stub cannot unpack an archive without entries");
    case ZipCheck::kNotZip:
      return Status::input_fault(quoted(path) + " is neither a directory nor a ZIP archive");
    case ZipCheck::kRefused:
      return Status::input_fault("the ZIP archive " + quoted(path) + ": " + fault);
  }
  executables = std::move(check.executables);
  entry_count = static_cast<std::size_t>(check.entry_count);
  return Status::ok();
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when the directory `dir` is the directory `root` or lies below it: walks up through
// ".." by descriptor, comparing device and inode, so that neither links nor other spellings of
// a path can hide it.
bool is_within(const std::string& dir, const struct stat& root) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (fd >= 0) {
    struct stat here;
    struct stat up;
    const int parent =
        fstat(fd, &here) == 0 ? openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    close(fd);
    if (parent < 0) return false;
    if (same_file(here, root)) {
      close(parent);
      return true;
    }
    if (fstat(parent, &up) != 0 || same_file(up, here)) {  // The top: ".." is itself.
      close(parent);
      return false;
    }
    fd = parent;
  }
  return false;
}

// Refuses an output that would destroy something: an existing file that is not a regular one
// (a device, a fifo, a directory, a link; renaming over it would replace it), a file of the
// source directory, the source ZIP archive or the stub themselves. Nothing is written before.
Status check_output(const std::string& output, const std::string& source,
                    const struct stat& source_info, const std::string& stub,
                    const struct stat& stub_info) {
  if (output.empty() || output.back() == '/') {
    return Status::usage("the output " + quoted(output) + " names no file");
  }
  struct stat info;
  const bool exists = lstat(output.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) {
    return Status::usage("the output " + quoted(output) + " is " + file_kind(info.st_mode) +
                         "; sfx_pack replaces only regular files");
  }
  if (exists && same_file(info, stub_info)) {
    return Status::usage("the output " + quoted(output) + " is the stub " + quoted(stub));
  }
  if (S_ISDIR(source_info.st_mode) && is_within(directory_of(output), source_info)) {
    return Status::usage("the output " + quoted(output) + " is inside the source directory " +
                         quoted(source));
  }
  if (exists && same_file(info, source_info)) {
    return Status::usage("the output " + quoted(output) + " is the source ZIP archive " +
                         quoted(source));
  }
  return Status::ok();
}

void warn_unless_executable(const std::string& what, const std::string& command,
                            const std::set<std::string>& executables,
                            std::vector<std::string>& warnings) {
  const std::string word = first_word(command);
  if (executables.count(word) != 0) return;
  warnings.push_back("the " + what + "'s first word " + quoted(word) +
                     " names no executable file of the payload");
}

// The same file, with the same size and modification time.
bool unchanged(const struct stat& a, const struct stat& b) {
  return same_file(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Appends the whole of `path` to `out`; sets `copied` to the bytes copied. The file must be the
// one `checked` describes (what was checked is what is copied) and must not change while it is
// copied.
Status copy_file(const std::string& path, const struct stat& checked, std::FILE* out,
                 const std::string& out_name, std::uint64_t& copied, Progress* progress = nullptr) {
  copied = 0;
  FileHandle in(std::fopen(path.c_str(), "rbe"));
  if (!in) return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
  struct stat before;
  if (fstat(fileno(in.get()), &before) != 0) {
    return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
  }
  std::string buffer(COPY_BUFFER_SIZE, '\0');
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in.get());
    if (got > 0 && std::fwrite(buffer.data(), 1, got, out) != got) {
      return Status::input_fault("cannot write " + quoted(out_name) + ": " + error_text(errno));
    }
    copied += got;
    if (progress != nullptr) progress->add(got);
    if (got < buffer.size()) break;
  }
  struct stat after;
  if (std::ferror(in.get()) || fstat(fileno(in.get()), &after) != 0) {
    return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
  }
  if (!unchanged(checked, before) || !unchanged(before, after)) {
    return Status::input_fault(quoted(path) + " changed while it was being packed");
  }
  return Status::ok();
}

Status check_label(const std::string& label) {
  if (label.empty()) return Status::usage("the label is empty");
  if (label.size() > MAX_LABEL_SIZE) {
    return Status::usage("the label is " + std::to_string(label.size()) + " bytes long; at most " +
                         std::to_string(MAX_LABEL_SIZE) + " are stored");
  }
  if (!is_valid_utf8(label)) return Status::usage("the label is not UTF-8 text");
  for (const char c : label) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return Status::usage("the label holds a control character");
    }
  }
  return Status::ok();
}

}  // namespace

std::string first_word(const std::string& command) {
  return command.substr(0, command.find_first_of(" \t"));
}

Status create_distributable(const CreateOptions& options, CreateReport& report) {
  report = CreateReport{};
  Status status = check_text("command template", options.command_template);
  if (status.is_ok() && options.extra_tool_command) {
    status = check_text("extra-tool command", *options.extra_tool_command);
  }
  if (status.is_ok() && options.label) status = check_label(*options.label);
  if (!status.is_ok()) return status;

  std::string machine = host_machine();
  if (!options.machine.empty()) status = machine_from_option(options.machine, machine);
  std::string stub = options.stub;
  if (status.is_ok() && stub.empty()) status = find_stub(program_directory(), machine, stub);
  if (!status.is_ok()) return status;
  struct stat stub_info;
  status = check_stub(stub, machine, stub_info, report.stub_size);
  if (!status.is_ok()) return status;

  struct stat source_info;
  if (stat(options.source.c_str(), &source_info) != 0) {
    return Status::input_fault("cannot read " + quoted(options.source) + ": " + error_text(errno));
  }
  status = check_output(options.output, options.source, source_info, stub, stub_info);
  if (!status.is_ok()) return status;
  const bool from_directory = S_ISDIR(source_info.st_mode);
  std::vector<PackEntry> entries;
  std::set<std::string> executables;
  if (from_directory) {
    status = scan_source(options.source, options.time_cap, options.follow_links, entries);
    if (!status.is_ok()) return status;
    for (const PackEntry& entry : entries) {
      struct stat info;  // A link counts as what it leads to.
      const bool runs = entry.is_link ? stat(entry.path.c_str(), &info) == 0 &&
                                            S_ISREG(info.st_mode) && (info.st_mode & 0111) != 0
                                      : !entry.is_directory && (entry.mode & 0111) != 0;
      if (runs) executables.insert(entry.name);
    }
    report.entry_count = entries.size();
    if (entries.empty()) {
      // minizip, and so the stub, takes an archive without entries for no archive at all.
      return Status::input_fault("the source directory " + quoted(options.source) +
                                 " is empty; the stub cannot unpack an archive without entries");
    }
  } else if (S_ISREG(source_info.st_mode) && options.label) {
    return Status::usage("a label is stored in the archive sfx_pack writes; the ZIP archive " +
                         quoted(options.source) + " is used unchanged");
  } else if (S_ISREG(source_info.st_mode)) {
    status = check_zip_source(options.source, executables, report.entry_count);
    if (!status.is_ok()) return status;
    if (static_cast<std::uint64_t>(source_info.st_size) > options.archive.max_length) {
      return Status::input_fault("the ZIP archive " + quoted(options.source) + " is " +
                                 std::to_string(source_info.st_size) +
                                 " bytes long; a distributable file carries at most " +
                                 std::to_string(options.archive.max_length));
    }
  } else {
    return Status::input_fault(quoted(options.source) +
                               " is neither a directory nor a ZIP archive");
  }
  if (from_directory && options.archive.level == 0) {
    const std::uint64_t length =
        stored_archive_length(entries, options.label ? options.label->size() : 0);
    if (length > options.archive.max_length) {
      return Status::input_fault("the archive would be " + std::to_string(length) +
                                 " bytes long; a distributable file carries at most " +
                                 std::to_string(options.archive.max_length));
    }
  }
  warn_unless_executable("command template", options.command_template, executables,
                         report.warnings);
  if (options.extra_tool_command) {
    warn_unless_executable("extra-tool command", *options.extra_tool_command, executables,
                           report.warnings);
  }

  std::uint64_t total = static_cast<std::uint64_t>(source_info.st_size);
  if (from_directory) {
    total = 0;
    for (const PackEntry& entry : entries) {
      if (!entry.is_directory && !entry.is_link) total += entry.size;
    }
  }
  Progress progress(total, options.show_progress);
  ArchiveOptions archive = options.archive;
  archive.progress = &progress;
  if (options.label) archive.comment = *options.label;

  OutputFile output;
  status = output.open(options.output);
  if (!status.is_ok()) return status;
  std::uint64_t stub_copied = 0;
  status = copy_file(stub, stub_info, output.stream(), options.output, stub_copied);
  if (!status.is_ok()) return status;
  if (stub_copied != report.stub_size) {
    return Status::input_fault("the stub " + quoted(stub) + " changed while it was copied");
  }
  if (from_directory) {
    status = write_archive(entries, archive, output.stream(), report.archive_length);
  } else {
    status = copy_file(options.source, source_info, output.stream(), options.output,
                       report.archive_length, &progress);
    if (status.is_ok() && report.archive_length > options.archive.max_length) {
      status = Status::input_fault("the ZIP archive " + quoted(options.source) +
                                   " grew past the most a distributable file carries");
    }
  }
  if (!status.is_ok()) return status;
  const std::string trailer =
      encode_trailer(options.command_template, static_cast<std::uint32_t>(report.archive_length),
                     options.extra_tool_command);
  if (std::fwrite(trailer.data(), 1, trailer.size(), output.stream()) != trailer.size()) {
    return Status::input_fault("cannot write " + quoted(options.output) + ": " + error_text(errno));
  }
  if (options.signing_key != nullptr) {
    status = append_signature(output.stream(), options.output, *options.signing_key,
                              options.trusted_comment);
    if (!status.is_ok()) return status;
  }
  return output.commit();
}
