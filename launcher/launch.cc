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

#include "command/command_lists.h"
#include "command/run.h"
#include "extract/entry_rules.h"
#include "extract/extract.h"
#include "launcher/command_line.h"
#include "launcher/launch_context.h"
#include "launcher/look_inside.h"
#include "launcher/signals.h"
#include "launcher/space_check.h"
#include "launcher/tree_removal.h"
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

// Unlinks archive.zip in the work root while it is still the file this run made. Used on the
// copy's own thread, so it prints nothing.
void remove_archive_copy(const CarveResult& carve, int work_root_fd) {
  struct stat st;
  if (carve.archive_created && work_root_fd >= 0 &&
      fstatat(work_root_fd, "archive.zip", &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      st.st_dev == carve.archive_device && st.st_ino == carve.archive_inode) {
    unlinkat(work_root_fd, "archive.zip", 0);
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

// What the run has made so far, for its clean-up at the end and on a terminating signal at
// any point of the run. It is changed only while the signals are held, so the handler always
// finds a whole picture. One per process: the handler has no other way to find it.
class MadeByRun {
 public:
  // In the order of removal: archive.zip and a leftover moved aside before the payload
  // directory, and the temporary work root (which holds all of them) last.
  enum Slot { kArchive, kLeftover, kPayload, kWorkRoot, kSlots };

  /// Notes `name` in `parent_fd` (AT_FDCWD for an absolute name), shown as `shown`, with the
  /// identity it had when the run made it; `fd` holds a directory open (-1 for a file).
  void note(Slot slot, int parent_fd, const std::string& name, const std::string& shown, int fd,
            dev_t device, ino_t inode) {
    const SignalsHeld held;
    Item& item = items_[slot];
    item.name = name;
    item.shown = printable_text(shown);
    item.entry = {parent_fd, item.name.c_str(), item.shown.c_str(), fd, device, inode};
  }

  /// Forgets what `slot` held: it is no longer the run's to remove.
  void forget(Slot slot) {
    const SignalsHeld held;
    items_[slot].entry = MadeEntry();
  }

  /// Removes what `slot` holds, then forgets it.
  void remove(Slot slot) {
    remove_made_entry(items_[slot].entry);
    forget(slot);
  }

  /// Removes and forgets everything noted, in slot order. Async-signal-safe.
  void remove_all() {
    for (Item& item : items_) {
      remove_made_entry(item.entry);
      item.entry = MadeEntry();
    }
  }

  /// The clean-up for clean_up_on_signals.
  static void on_signal();

 private:
  struct Item {
    std::string name;
    std::string shown;
    MadeEntry entry;
  };
  Item items_[kSlots];
};

// Never destroyed: a signal may still come while the process exits.
MadeByRun& made_by_run = *new MadeByRun;

void MadeByRun::on_signal() { made_by_run.remove_all(); }

// One run of the stub, stage by stage (see run()). It owns the run's descriptors; what the
// run made on disk is noted in made_by_run as it is made, and removed by finish().
class Launch {
 public:
  Launch(int argc, char** argv) : argc_(argc), argv_(argv) {}
  ~Launch() {
    close_descriptor(payload_.fd);
    close_descriptor(work_root_fd_);
    close_descriptor(ctx_.self_fd);
  }
  Launch(const Launch&) = delete;
  Launch& operator=(const Launch&) = delete;

  /// The whole run; returns its exit status (see run_launch).
  int run() {
    if (!read_command_line()) return status_;
    if (!choose_work_root()) return status_;
    if (make_payload_directory() && unpack()) {
      if (ctx_.extract_only) {
        keep_unpacked_files();
      } else if (set_environment()) {
        run_commands();
      }
    }
    return finish();
  }

 private:
  static void close_descriptor(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  // The program name, the context and the command line. False when the run ends here, with
  // status_ set: after a look-inside option's work, or after a failure that created nothing.
  bool read_command_line() {
    record_start_signals();
    // Linux hands a program started with no arguments at all an empty argv[0]; either way
    // there is no name to derive the payload directory from.
    if (argc_ < 1 || argv_[0] == nullptr || argv_[0][0] == '\0') {
      std::fputs("-E- Missing program name: the argument vector is empty\n", stderr);
      return false;
    }
    if (init_launch_context(ctx_, argv_[0]) != 0) return false;
    // Looking inside comes before everything else on the command line, and creates nothing.
    if (const LookInside look = find_look_inside_option(argc_, argv_); look != LookInside::kNone) {
      status_ = run_look_inside(look, ctx_);
      return false;
    }
    if (scan_arguments(argc_, argv_, passthrough_args_, ctx_) != 0) return false;
    ctx_.program_name += "-dir";
    umask_ = umask(0);
    umask(umask_);
    return true;
  }

  // The work root: a new temporary directory, or the user's, which must be safe to use. From
  // here on a terminating signal removes what the run made. False when the run ends here:
  // nothing was created then.
  bool choose_work_root() {
    clean_up_on_signals(MadeByRun::on_signal);
    // Signals wait until the clean-up knows the temporary work root.
    const SignalsHeld held;
    if (resolve_work_root(ctx_, temp_env_value_, work_root_) != 0) {
      release_signals();
      std::fputs("-I- Please consider using the following options:\n", stdout);
      print_sfx_options_help(ctx_);
      if (ctx_.version_requested) print_version_line();
      return false;
    }
    work_root_ = make_absolute(work_root_);
    // The payload's "TEMP" is the directory it was unpacked in, by a name valid from anywhere.
    if (ctx_.extract_dir_given) temp_env_value_ = work_root_;
    payload_dir_ = work_root_ + "/" + ctx_.program_name;
    // The work root and everything in it are used through this descriptor, whatever happens
    // to its name meanwhile.
    work_root_fd_ = open(work_root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    work_root_error_ = errno;
    if (ctx_.extract_dir_given) return true;
    struct stat st;
    if (work_root_fd_ >= 0 && fstat(work_root_fd_, &st) == 0) {
      made_by_run.note(MadeByRun::kWorkRoot, AT_FDCWD, work_root_, work_root_, work_root_fd_,
                       st.st_dev, st.st_ino);
    } else {
      rmdir(work_root_.c_str());  // Just made, and empty: nothing else can be there.
    }
    return true;
  }

  // The payload directory, made afresh for this run alone (see create_fresh_directory).
  bool make_payload_directory() {
    if (work_root_fd_ < 0) {
      report_create_failure(work_root_error_);
      return false;
    }
    MovedLeftover leftover;
    int result;
    {
      // Nothing of the run's may exist unknown to the clean-up: signals wait (no step waits).
      const SignalsHeld held;
      result = create_fresh_directory(work_root_fd_, ctx_.program_name, payload_, leftover);
      if (result == 0 && ctx_.extract_dir_given) {
        made_by_run.note(MadeByRun::kPayload, work_root_fd_, ctx_.program_name, payload_dir_,
                         payload_.fd, payload_.device, payload_.inode);
      }
      if (leftover.fd >= 0) {
        made_by_run.note(MadeByRun::kLeftover, work_root_fd_, leftover.name,
                         work_root_ + "/" + leftover.name, leftover.fd, leftover.device,
                         leftover.inode);
      }
    }
    if (leftover.fd >= 0) {
      // A leftover of a run that ended, moved out of the way: it goes now.
      made_by_run.remove(MadeByRun::kLeftover);
      close(leftover.fd);
    }
    if (result == FRESH_DIR_IN_USE) {
      std::fprintf(stderr, "-E- %s is in use by another run\n",
                   printable_text(payload_dir_).c_str());
    } else if (result == FRESH_DIR_OTHER_USER) {
      std::fprintf(stderr, "-E- %s belongs to another user\n",
                   printable_text(payload_dir_).c_str());
    } else if (result != 0) {
      report_create_failure(result);
    }
    return result == 0;
  }

  void report_create_failure(int error) {
    std::fprintf(stderr, "-E- Failed to create directory %s: %s\n",
                 printable_text(payload_dir_).c_str(), std::strerror(error));
  }

  // Carving and extraction: archive.zip is copied on a thread of its own while the archive is
  // unpacked into the payload directory from the stub's own image. False after a failure's
  // message (status_ set).
  bool unpack() {
    errno = ctx_.self_open_error;
    ArchiveCopy copy;
    int prepared;
    {
      // archive.zip is the run's from its creation on: signals wait until the clean-up knows it.
      const SignalsHeld held;
      prepared = prepare_carve(ctx_.self_fd, ctx_.self_path, work_root_fd_, work_root_, carve_,
                               copy.archive_fd);
      if (carve_.archive_created && ctx_.extract_dir_given) {
        made_by_run.note(MadeByRun::kArchive, work_root_fd_, "archive.zip", carve_.archive_path, -1,
                         carve_.archive_device, carve_.archive_inode);
      }
    }
    // The trailer's extra-tool command runs after the payload command; the reader only
    // reported it.
    if (carve_.extra_tool_command) extra_commands.push_back(*carve_.extra_tool_command);
    if (prepared < 0) return false;
    const ArchiveSource archive = {ctx_.self_fd, carve_.archive_offset, carve_.archive_length};
    // Nothing is written yet: a run whose files and archive.zip cannot fit ends here, with
    // archive.zip still empty and the payload directory as made.
    if (check_space(payload_.fd, work_root_, archive,
                    carve_.archive_created ? carve_.archive_length : 0) != 0) {
      return false;
    }

    apply_no_extract_list_rule();
    copy.self_fd = ctx_.self_fd;
    copy.carve = &carve_;
    // Nothing reads archive.zip in extract-only mode, where it goes at the end anyway: it is
    // removed as soon as it is complete, so that its pages are free again while the files are
    // still being written. Otherwise it stays for the payload command.
    if (ctx_.extract_only) copy.remove_from_fd = work_root_fd_;
    start_copy(copy);
    HeldMessages held;
    if (ctx_.extract_only) {
      std::fprintf(held.stream(), "Extracting to %s ...", printable_text(payload_dir_).c_str());
    }
    const int extracted = extract_archive(archive, payload_.fd, payload_dir_.c_str());
    const int copied = finish_copy(copy);
    if (copied != CARVE_OK) {
      held.drop();
      // The copy's thread holds every signal: a file-size limit that it ran into is the main
      // thread's to take, as if the copy had run here (clean-up, then the end by SIGXFSZ).
      if (copy.error == EFBIG) raise(SIGXFSZ);
      report_copy(copied, carve_);
      return false;
    }
    held.release();
    switch (extracted) {
      case EXTRACT_OK:
        return true;
      case EXTRACT_ERR_OPEN:
        std::fputs("-E- No valid attachment found\n", stderr);
        return false;
      case EXTRACT_ERR_CHDIR:
        status_ = kEnterFailureStatus;
        return false;
      default:
        std::fprintf(stderr, "-E- Failed to extract files to %s\n",
                     printable_text(payload_dir_).c_str());
        return false;
    }
  }

  // "--no_extract_list" in the template, or on the command line together with
  // "--sfx-extract-only": the payload's own tool handles extract-only mode, so the option is
  // handed on to it.
  void apply_no_extract_list_rule() {
    if (carve_.command_template.find(kNoExtractListOption) != std::string::npos) {
      ctx_.no_extract_list = true;
    }
    if (ctx_.no_extract_list && ctx_.extract_only) {
      passthrough_args_ += ' ';
      passthrough_args_ += kExtractOnlyOption;
      ctx_.forwarded_args.emplace_back(kExtractOnlyOption);
      ctx_.extract_only = false;
    }
  }

  // Extract-only mode, unpacked whole: the files are the user's now, and their directory gets
  // the mode a directory of the user's would have.
  void keep_unpacked_files() {
    made_by_run.forget(MadeByRun::kPayload);
    fchmod(payload_.fd, 0777 & ~umask_);
    std::puts(" Done");
    status_ = 0;
  }

  // "TEMP" for the payload's temporary files; "SFX_START_DIR" and "SFX_FILE" tell it where the
  // user was and which file it came from, since it runs in the payload directory.
  bool set_environment() {
    if (set_env_var("TEMP", temp_env_value_) != 0 ||
        set_env_var("SFX_START_DIR", ctx_.cwd) != 0 ||
        set_env_var("SFX_FILE", ctx_.self_path) != 0) {
      std::fputs("-E- Failed to set environment variable\n", stderr);
      return false;
    }
    return true;
  }

  // The payload command, then the extra-tool commands, from the payload directory (the
  // current directory since extraction).
  void run_commands() {
    if (ctx_.version_requested) print_version_line();
    status_ = run_payload_command(carve_, passthrough_args_, payload_dir_, ctx_);
    hint_if_noexec(status_, payload_dir_, work_root_);
    if (passed_on_signal() != 0) {
      status_ = 128 + passed_on_signal();
      return;
    }
    if (ctx_.help_requested && !ctx_.version_requested) print_sfx_options_help(ctx_);
    if (status_ != 0 || ctx_.help_requested || ctx_.version_requested || ctx_.query_requested) {
      return;
    }
    status_ = run_extra_tool_commands(
        [&](int status) { hint_if_noexec(status, payload_dir_, work_root_); });
    if (passed_on_signal() != 0) status_ = 128 + passed_on_signal();
  }

  // Back to the start directory, then the clean-up. A signal meanwhile takes effect once the
  // clean-up is done, and has nothing left to remove. Returns the run's exit status.
  int finish() {
    if (chdir(ctx_.cwd.c_str()) != 0) {
      std::fputs("-E- Failed to change directory.\n", stderr);
      status_ = 1;
    }
    hold_signals();
    // The running file is no longer read: one descriptor more for the removal.
    close_descriptor(ctx_.self_fd);
    // Half-extracted files are never left for the user, not even in extract-only mode.
    made_by_run.remove_all();
    // From here a signal (SIGPIPE from the last output, at exit) ends the stub at once.
    release_signals();
    return status_;
  }

  int argc_;
  char** argv_;
  int status_ = EXIT_LAUNCH_FAILURE;
  LaunchContext ctx_;
  CarveResult carve_;
  std::string passthrough_args_;
  std::string temp_env_value_;
  std::string work_root_;
  std::string payload_dir_;
  int work_root_fd_ = -1;
  int work_root_error_ = 0;  // errno of a failed open of the work root.
  FreshDirectory payload_;
  mode_t umask_ = 022;
};

}  // namespace

int run_launch(int argc, char** argv) {
  Launch launch(argc, argv);
  return launch.run();
}
