#include "launcher/launch.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command/run.h"
#include "extract/entry_rules.h"
#include "extract/extract.h"
#include "launcher/command_line.h"
#include "launcher/interrupt.h"
#include "launcher/launch_context.h"
#include "launcher/look_inside.h"
#include "launcher/work_dirs.h"
#include "payload/carve.h"

namespace {

// Exit status when extraction cannot enter the payload directory.
constexpr int kEnterFailureStatus = 255;

// A command that the shell could not start (126) from a payload directory on a file system
// mounted noexec: the most common reason a self-extracting file fails in the field, and the
// shell's "Permission denied" does not say so. One line names the way out.
void hint_if_noexec(int status, const std::string& payload_dir, const std::string& work_root) {
  struct statvfs fs;
  if (status == 126 && statvfs(payload_dir.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC) != 0) {
    std::fprintf(stderr,
                 "-E- %s is on a file system mounted noexec; use --sfx-extract-dir <dir> on "
                 "another file system\n",
                 work_root.c_str());
  }
}

// Unlinks archive.zip in the work root while it is still the file this run made.
void remove_archive_copy(const CarveResult& carve, int work_root_fd) {
  struct stat st;
  if (carve.archive_created && work_root_fd >= 0 &&
      fstatat(work_root_fd, "archive.zip", &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      st.st_dev == carve.archive_device && st.st_ino == carve.archive_inode) {
    unlinkat(work_root_fd, "archive.zip", 0);
  }
}

// Removes what the run created: the whole temporary work root, or in the user's directory
// archive.zip (only while it is still the file this run made) and, unless the unpacked files
// are what the user asked for, the payload directory.
void clean_up(const LaunchContext& ctx, const CarveResult& carve, const std::string& work_root,
              int work_root_fd, const std::string& payload_name, bool keep_payload_dir) {
  if (ctx.extract_dir_given) {
    remove_archive_copy(carve, work_root_fd);
    if (!keep_payload_dir && work_root_fd >= 0) remove_tree_at(work_root_fd, payload_name.c_str());
  } else {
    remove_tree(work_root);
  }
}

// The copy of the archive to archive.zip, made on a thread of its own while the archive is
// unpacked from the stub's image.
struct ArchiveCopy {
  int self_fd = -1;
  const CarveResult* carve = nullptr;
  int archive_fd = -1;
  /// Where the copy is removed as soon as it is complete (see start_copy), else -1.
  int remove_from_fd = -1;
  int result = CARVE_OK;
  int error = 0;  ///< errno after a failed copy.
  pthread_t thread;
  bool threaded = false;
};

void* copy_on_thread(void* job) {
  ArchiveCopy* copy = static_cast<ArchiveCopy*>(job);
  copy->result = copy_archive(copy->self_fd, *copy->carve, copy->archive_fd);
  copy->error = errno;
  if (copy->result == CARVE_OK && copy->remove_from_fd >= 0) {
    remove_archive_copy(*copy->carve, copy->remove_from_fd);
  }
  return nullptr;
}

// Starts the copy; where no thread can be had it is made here and now.
void start_copy(ArchiveCopy& copy) {
  // Signals are for the main thread, which knows what to clean up.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  copy.threaded = pthread_create(&copy.thread, nullptr, copy_on_thread, &copy) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!copy.threaded) copy_on_thread(&copy);
}

// Waits for the copy and returns its result.
int finish_copy(ArchiveCopy& copy) {
  if (copy.threaded) pthread_join(copy.thread, nullptr);
  copy.threaded = false;
  return copy.result;
}

// Extraction's messages, held in memory while the copy may still fail: in that case the copy's
// failure is the run's one message, as if the copy had come first.
class HeldMessages {
 public:
  HeldMessages() : stream_(open_memstream(&text_, &size_)) {
    if (stream_ != nullptr) set_extraction_output(stream_);
  }
  ~HeldMessages() { drop(); }
  HeldMessages(const HeldMessages&) = delete;
  HeldMessages& operator=(const HeldMessages&) = delete;
  /// The held messages' stream, or standard output when nothing can be held.
  std::FILE* stream() const { return stream_ != nullptr ? stream_ : stdout; }
  /// Writes what was held to standard output.
  void release() {
    if (close_stream() && size_ > 0) std::fwrite(text_, 1, size_, stdout);
    drop();
  }
  void drop() {
    close_stream();
    std::free(text_);
    text_ = nullptr;
    size_ = 0;
  }

 private:
  bool close_stream() {
    if (stream_ == nullptr) return text_ != nullptr;
    set_extraction_output(nullptr);
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    return closed;
  }
  char* text_ = nullptr;
  size_t size_ = 0;
  std::FILE* stream_ = nullptr;
};

}  // namespace

int run_launch(int argc, char** argv) {
  record_start_signals();
  LaunchContext ctx;
  CarveResult carve;
  std::string passthrough_args;
  std::string temp_env_value;
  std::string work_root;

  // Linux hands a program started with no arguments at all an empty argv[0]; either way there
  // is no name to derive the payload directory from.
  if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0') {
    std::fputs("-E- Missing program name: the argument vector is empty\n", stderr);
    return EXIT_LAUNCH_FAILURE;
  }
  if (init_launch_context(ctx, argv[0]) != 0) return EXIT_LAUNCH_FAILURE;
  // Looking inside comes before everything else on the command line, and creates nothing.
  if (const LookInside look = find_look_inside_option(argc, argv); look != LookInside::kNone) {
    return run_look_inside(look, ctx);
  }
  if (scan_arguments(argc, argv, passthrough_args, ctx) != 0) return EXIT_LAUNCH_FAILURE;
  hold_interrupts();
  if (resolve_work_root(ctx, temp_env_value, work_root) != 0) {
    release_interrupts();
    std::fputs("-I- Please consider using the following options:\n", stdout);
    print_sfx_options_help(ctx);
    if (ctx.version_requested) print_version_line();
    return EXIT_LAUNCH_FAILURE;
  }

  ctx.program_name += "-dir";
  work_root = make_absolute(work_root);
  // The payload's "TEMP" is the directory it was unpacked in, by a name valid from anywhere.
  if (ctx.extract_dir_given) temp_env_value = work_root;
  const std::string payload_dir = work_root + "/" + ctx.program_name;
  // From here on an interrupted run removes what it created, by the clean-up rules below. In
  // the user's directory the payload directory and archive.zip are the run's only once made
  // (until then the signals stay held): another run may be using that name.
  if (!ctx.extract_dir_given) remove_on_interrupt(work_root, "");

  int launch_status = EXIT_LAUNCH_FAILURE;
  bool keep_payload_dir = false;
  // The work root and the payload directory are used through these descriptors, whatever
  // happens to their names meanwhile. The payload directory's lock lasts as long as the run.
  const int work_root_fd = open(work_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int payload_fd = -1;
  do {
    int err = work_root_fd < 0 ? errno
                               : create_fresh_directory(work_root_fd, ctx.program_name, payload_fd);
    if (err == FRESH_DIR_IN_USE) {
      std::fprintf(stderr, "-E- %s is in use by another run\n",
                   printable_text(payload_dir).c_str());
      keep_payload_dir = true;  // It is another run's.
      break;
    }
    if (err != 0) {
      std::fprintf(stderr, "-E- Failed to create directory %s: %s\n",
                   printable_text(payload_dir).c_str(), std::strerror(err));
      break;
    }
    errno = ctx.self_open_error;
    ArchiveCopy copy;
    const int prepared =
        prepare_carve(ctx.self_fd, ctx.self_path, work_root_fd, work_root, carve, copy.archive_fd);
    if (ctx.extract_dir_given) {
      remove_on_interrupt(payload_dir, carve.archive_created ? carve.archive_path : "",
                          carve.archive_device, carve.archive_inode);
    }
    if (prepared < 0) break;

    if (carve.command_template.find(kNoExtractListOption) != std::string::npos) {
      ctx.no_extract_list = true;
    }
    if (ctx.no_extract_list && ctx.extract_only) {
      // The payload's own tool handles extract-only mode; hand the option on to it.
      passthrough_args += ' ';
      passthrough_args += kExtractOnlyOption;
      ctx.extract_only = false;
    }
    copy.self_fd = ctx.self_fd;
    copy.carve = &carve;
    // Nothing reads archive.zip in extract-only mode, where it goes at the end anyway: it is
    // removed as soon as it is complete, so that its pages are free again while the files are
    // still being written. Otherwise it stays for the payload command.
    if (ctx.extract_only) copy.remove_from_fd = work_root_fd;
    start_copy(copy);
    HeldMessages held;
    if (ctx.extract_only) {
      std::fprintf(held.stream(), "Extracting to %s ...", printable_text(payload_dir).c_str());
    }

    // The archive is unpacked from the stub's own image, not from the copy in the work root,
    // while that copy is being made.
    const ArchiveSource archive = {ctx.self_fd, carve.archive_offset, carve.archive_length};
    int extracted = extract_archive(archive, payload_fd, payload_dir.c_str());
    const int copied = finish_copy(copy);
    if (copied != CARVE_OK) {
      held.drop();
      // The copy's thread holds every signal: a file-size limit that it ran into is the main
      // thread's to take, as if the copy had run here (clean-up, then the end by SIGXFSZ).
      if (copy.error == EFBIG) raise(SIGXFSZ);
      report_copy(copied, carve);
      break;
    }
    held.release();
    if (extracted == EXTRACT_ERR_OPEN) {
      std::fputs("-E- No valid attachment found\n", stderr);
      break;
    }
    if (extracted == EXTRACT_ERR_CHDIR) {
      launch_status = kEnterFailureStatus;
      break;
    }
    if (extracted != EXTRACT_OK) {
      std::fprintf(stderr, "-E- Failed to extract files to %s\n",
                   printable_text(payload_dir).c_str());
      break;
    }
    if (ctx.extract_only) {
      // The unpacked files are the user's now.
      remove_on_interrupt("", carve.archive_path, carve.archive_device, carve.archive_inode);
      keep_payload_dir = true;
      std::puts(" Done");
      launch_status = 0;
      break;
    }
    if (set_env_var("TEMP", temp_env_value) != 0) {
      std::fputs("-E- Failed to set environment variable\n", stderr);
      break;
    }

    if (ctx.version_requested) print_version_line();
    launch_status = run_payload_command(carve, passthrough_args, payload_dir, ctx);
    hint_if_noexec(launch_status, payload_dir, work_root);
    if (passed_on_signal() != 0) {
      launch_status = 128 + passed_on_signal();
      break;
    }
    if (ctx.help_requested && !ctx.version_requested) print_sfx_options_help(ctx);

    if (launch_status == 0 && !ctx.help_requested && !ctx.version_requested &&
        !ctx.query_requested) {
      launch_status = run_extra_tool_commands(
          [&](int status) { hint_if_noexec(status, payload_dir, work_root); });
      if (passed_on_signal() != 0) launch_status = 128 + passed_on_signal();
    }
  } while (false);

  if (chdir(ctx.cwd.c_str()) != 0) {
    std::fputs("-E- Failed to change directory.\n", stderr);
    launch_status = 1;
  }
  // Half-extracted files are never left for the user, not even in extract-only mode.
  // A signal meanwhile takes effect once the clean-up is done, and has nothing left to remove.
  hold_interrupts();
  clean_up(ctx, carve, work_root, work_root_fd, ctx.program_name, keep_payload_dir);
  remove_on_interrupt("", "");
  if (payload_fd >= 0) close(payload_fd);
  if (work_root_fd >= 0) close(work_root_fd);
  return launch_status;
}
