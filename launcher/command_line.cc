#include "launcher/command_line.h"

#include <cstdio>
#include <cstring>

#include "extract/entry_rules.h"

#ifndef SFX_TOOLSET
#define SFX_TOOLSET "pvk 4.28.0-75"
#endif

namespace {

constexpr char kProgramName[] = "SelfExtractor";
constexpr char kProgramVersion[] = "1.0";
constexpr char kSourceRevision[] = "N/A";
constexpr char kExtractDirOption[] = "--sfx-extract-dir";
// Every word with this prefix is the stub's own: one it does not know is a mistyped option,
// never an argument for the payload.
constexpr char kOwnOptionPrefix[] = "--sfx-";

bool is_one_of(const char* arg, std::initializer_list<const char*> words) {
  for (const char* word : words) {
    if (std::strcmp(arg, word) == 0) return true;
  }
  return false;
}

constexpr struct {
  const char* word;
  LookInside option;
} kLookInsideOptions[] = {
    {"--sfx-info", LookInside::kInfo},
    {"--sfx-list", LookInside::kList},
    {"--sfx-check", LookInside::kCheck},
    {"--sfx-help", LookInside::kHelp},
};

LookInside look_inside_option(const char* arg) {
  for (const auto& known : kLookInsideOptions) {
    if (std::strcmp(arg, known.word) == 0) return known.option;
  }
  return LookInside::kNone;
}

}  // namespace

std::string derive_program_name(const std::string& argv0) {
  std::string name = argv0;
  if (std::string::size_type slash = name.rfind('/'); slash != std::string::npos) {
    name.erase(0, slash + 1);
  }
  if (std::string::size_type backslash = name.rfind('\\'); backslash != std::string::npos) {
    name.erase(0, backslash + 1);
  }
  if (std::string::size_type dot = name.rfind('.'); dot != std::string::npos) {
    if (dot > 0) {
      name.erase(dot);
    } else {
      name.erase(0, 1);  // A leading dot alone marks a hidden file, not an extension.
    }
  }
  return name;
}

LookInside find_look_inside_option(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], kExtractDirOption) == 0) {
      ++i;  // Its value, taken unchanged.
      continue;
    }
    if (const LookInside option = look_inside_option(argv[i]); option != LookInside::kNone) {
      return option;
    }
  }
  return LookInside::kNone;
}

int scan_arguments(int argc, const char* const* argv, std::string& passthrough_args,
                   LaunchContext& ctx) {
  ctx.program_name = derive_program_name(argv[0]);
  for (int i = 1; i < argc;) {
    const char* arg = argv[i];
    bool forward = true;
    int step = 1;
    if (std::strcmp(arg, kNoExtractListOption) == 0) {
      ctx.no_extract_list = true;
    } else if (std::strcmp(arg, "--sfx-no-pause") == 0) {
      forward = false;
    } else if (std::strcmp(arg, kExtractDirOption) == 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr,
                     "-E- Destination directory not specified with --sfx-extract-dir option\n");
        return -1;
      }
      ctx.extract_dir = argv[i + 1];
      ctx.extract_dir_given = true;
      forward = false;
      step = 2;
    } else if (std::strcmp(arg, kExtractOnlyOption) == 0) {
      ctx.extract_only = true;
      forward = false;
    } else if (is_one_of(arg, {"-v", "--version"})) {
      ctx.version_requested = true;
    } else if (is_one_of(arg, {"-h", "--help"})) {
      ctx.help_requested = true;
    } else if (is_one_of(arg, {"-d", "--dev"})) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "-E- Devices is not Specified\n");
        return -1;
      }
      // The device itself is examined in the next round like any other argument.
      ctx.device_option = std::string("-d ") + argv[i + 1];
    } else if (is_one_of(arg, {"--no", "--query", "--online-query-psid"})) {
      ctx.query_requested = true;
    } else if (std::strncmp(arg, kOwnOptionPrefix, sizeof kOwnOptionPrefix - 1) == 0 &&
               look_inside_option(arg) == LookInside::kNone) {
      std::fprintf(stderr,
                   "-E- Unknown self-extractor option '%s'; run with --sfx-help for the list\n",
                   printable_text(arg).c_str());
      return -1;
    }
    if (forward) {
      if (i > 1) passthrough_args += ' ';
      passthrough_args += arg;
      ctx.forwarded_args.emplace_back(arg);
    }
    i += step;
  }
  if (ctx.extract_only && !ctx.extract_dir_given && !ctx.no_extract_list) {
    std::fprintf(stderr,
                 "-E- --sfx-extract-only option must be used in conjunction with "
                 "--sfx-extract-dir option\n");
    return -1;
  }
  return 0;
}

void print_sfx_options_help(const LaunchContext& ctx) {
  std::fputs(
      "\n"
      "SELF EXTRACTOR OPTIONS\n"
      "        --sfx-extract-dir <dir>       : Use <dir> for temporary files during execution\n",
      stdout);
  if (!ctx.no_extract_list) {
    std::fputs(
        "        --sfx-extract-only            : Do not execute, only extract files to a "
        "location\n"
        "                                        specified through the --sfx-extract-dir "
        "option\n",
        stdout);
  }
  std::fputs("\n", stdout);
}

void print_stub_options() {
  std::fputs(
      "Options of the self-extractor (taken by it, never passed to the payload command):\n"
      "  --sfx-extract-dir <dir>  unpack into <dir> instead of a new /tmp/sfxter_XXXXXX directory\n"
      "  --sfx-extract-only       with --sfx-extract-dir: unpack and keep the files, run nothing\n"
      "  --sfx-no-pause           accepted and ignored\n"
      "  --sfx-info               describe this file: layout, commands, archive; run nothing\n"
      "  --sfx-list               list the archive's entries: mode, size, time, name; run nothing\n"
      "  --sfx-check              read every entry as unpacking would, write nothing; run nothing\n"
      "  --sfx-help               show these options\n"
      "Every other argument is passed to the payload command; a word that begins with --sfx-\n"
      "and is none of the above is refused.\n",
      stdout);
}

void print_version_line() {
  char line[1024] = {};
  int used = std::snprintf(line, sizeof line, "%s %s, ", kProgramName, kProgramVersion);
  if (used > 0 && static_cast<size_t>(used) < sizeof line) {
    std::snprintf(line + used, sizeof line - static_cast<size_t>(used),
                  "%s, built on %s, %s. Git SHA Hash: %s", SFX_TOOLSET, __DATE__, __TIME__,
                  kSourceRevision);
  }
  std::printf("%s\n", line);
}
