#include "launcher/launch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
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

// Removes what the run created: the whole temporary work root, or in the user's directory
// archive.zip (only while it is still the file this run made) and, unless the unpacked files
// are what the user asked for, the payload directory.
void clean_up(const LaunchContext& ctx, const CarveResult& carve, const std::string& work_root,
              int work_root_fd, const std::string& payload_name, bool keep_payload_dir) {
  if (ctx.extract_dir_given) {
    struct stat st;
    if (carve.archive_created && work_root_fd >= 0 &&
        fstatat(work_root_fd, "archive.zip", &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == carve.archive_device && st.st_ino == carve.archive_inode) {
      unlinkat(work_root_fd, "archive.zip", 0);
    }
    if (!keep_payload_dir && work_root_fd >= 0) remove_tree_at(work_root_fd, payload_name.c_str());
  } else {
    remove_tree(work_root);
  }
}

}  // namespace

int run_launch(int argc, char** argv) {
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
  // From here on an interrupted run removes what it created, by the clean-up rules below.
  if (ctx.extract_dir_given) {
    remove_on_interrupt(payload_dir, work_root + "/archive.zip");
  } else {
    remove_on_interrupt(work_root, "");
  }

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
      // Nothing of this run's is in the user's directory; a temporary root is still removed.
      remove_on_interrupt(ctx.extract_dir_given ? "" : work_root, "");
      keep_payload_dir = true;
      break;
    }
    if (err != 0) {
      std::fprintf(stderr, "-E- Failed to create directory %s: %s\n",
                   printable_text(payload_dir).c_str(), std::strerror(err));
      break;
    }
    errno = ctx.self_open_error;
    if (carve_archive(ctx.self_fd, ctx.self_path, work_root_fd, work_root, carve) < 0) break;

    if (carve.command_template.find(kNoExtractListOption) != std::string::npos) {
      ctx.no_extract_list = true;
    }
    if (ctx.no_extract_list && ctx.extract_only) {
      // The payload's own tool handles extract-only mode; hand the option on to it.
      passthrough_args += ' ';
      passthrough_args += kExtractOnlyOption;
      ctx.extract_only = false;
    } else if (ctx.extract_only) {
      std::printf("Extracting to %s ...", printable_text(payload_dir).c_str());
    }

    // The archive is unpacked from the stub's own image, not from the copy in the work root.
    const ArchiveSource archive = {ctx.self_fd, carve.archive_offset, carve.archive_length};
    int extracted = extract_archive(archive, payload_fd, payload_dir.c_str());
    if (extracted == EXTRACT_ERR_OPEN) {
      std::fputs("-E- No valid attachment found\n", stderr);
      break;
    }
    if (extracted == EXTRACT_ERR_CHDIR) {
      launch_status = 255;
      break;
    }
    if (extracted != EXTRACT_OK) {
      std::fprintf(stderr, "-E- Failed to extract files to %s\n",
                   printable_text(payload_dir).c_str());
      break;
    }
    if (ctx.extract_only) {
      remove_on_interrupt("", carve.archive_path);  // The unpacked files are the user's now.
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
  clean_up(ctx, carve, work_root, work_root_fd, ctx.program_name, keep_payload_dir);
  if (payload_fd >= 0) close(payload_fd);
  if (work_root_fd >= 0) close(work_root_fd);
  return launch_status;
}
