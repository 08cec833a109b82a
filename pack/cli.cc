#include "pack/cli.h"

#include <getopt.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "pack/create.h"
#include "pack/look_inside.h"
#include "pack/signing.h"
#include "pack/stub_choice.h"

#ifndef SFX_PACK_VERSION
#define SFX_PACK_VERSION "0.0.0"
#endif

namespace {

constexpr int MAX_JOBS = 256;

constexpr char kMainHelp[] =
    "Usage: sfx_pack COMMAND [OPTIONS] [ARGUMENTS]\n"
    "\n"
    "Makes, inspects and verifies self-extracting distributable files: the sfx_stub program\n"
    "with a ZIP archive of a payload and a trailer holding the command to run appended.\n"
    "\n"
    "Commands:\n"
    "  create   pack a directory, or an existing ZIP archive, behind the stub\n"
    "  inspect  show a distributable file's trailer and entries\n"
    "  verify   check a distributable file's trailer, every entry's CRC-32 and its signature\n"
    "  keygen   make a key pair for signing\n"
    "  sign     sign a distributable file\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "\n"
    "Run 'sfx_pack COMMAND --help' for a command's options.\n"
    "Exit status: 0 on success, 1 for a fault in an input file, 2 for a wrong command line;\n"
    "verify --key: 3 not signed, 4 signed by another key, 5 bad signature.\n";

constexpr char kCreateHelp[] =
    "Usage: sfx_pack create -o OUT -c TEMPLATE [-e EXTRA_TOOL_COMMAND] [--arch ARCH]\n"
    "                       [--stub PATH] [-l LEVEL] [-j JOBS] [-L] [-q] [--label TEXT]\n"
    "                       [--sign KEY [--comment TEXT]] SOURCE\n"
    "\n"
    "Writes the distributable file OUT: the stub, an archive of SOURCE and the trailer.\n"
    "SOURCE is a directory, packed recursively, or an existing ZIP archive, used unchanged\n"
    "once every entry has been checked. Symbolic links inside SOURCE are stored as links; one\n"
    "that leads outside is an error. OUT appears, with mode 0755, only once it is complete; it\n"
    "must not exist or be a regular file, and must not be the stub, SOURCE or inside SOURCE.\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT        the file to write\n"
    "  -c, --command TEMPLATE  the command the stub runs in the unpacked payload (at most 256\n"
    "                          bytes); its first word names a program of the payload.\n"
    "                          Placeholders: %quoted-argv% (the user's arguments, each\n"
    "                          passed exactly as given: use this one), %argv% (the same\n"
    "                          inserted bare, so the shell splits and expands them again),\n"
    "                          %current-dir%, %ca-bundle.crt%\n"
    "  -e, --extra-tool-command EXTRA_TOOL_COMMAND\n"
    "                          a command run after TEMPLATE succeeded (at most 256 bytes);\n"
    "                          placeholder: %device%\n"
    "      --arch ARCH         the machine the file runs on, as uname -m names it: x86_64,\n"
    "                          aarch64, armv7l, ppc64le (default: this machine's); its stub\n"
    "                          is sfx_stub-ARCH beside sfx_pack or in ../lib/sfx from there\n"
    "      --stub PATH         the stub to use instead; it must be a static executable for\n"
    "                          ARCH\n"
    "  -l, --level LEVEL       deflate level, 0 to 9 (default 6; 0 stores every file)\n"
    "  -j, --jobs JOBS         compression threads (default: one per core)\n"
    "  -L, --follow-symlinks   store what each symbolic link points to, instead of the link\n"
    "  -q, --quiet             no progress line and no summary line\n"
    "      --label TEXT        the product's name and version (at most 200 bytes of UTF-8),\n"
    "                          stored as the archive's comment (SOURCE a directory only)\n"
    "      --sign KEY          sign the file with the secret key file KEY (see sfx_pack sign)\n"
    "      --comment TEXT      the signature's trusted comment (default:\n"
    "                          timestamp:SECONDS file:NAME)\n"
    "  -h, --help              show this help and exit\n"
    "  -V, --version           show the version and exit\n"
    "\n"
    "On a terminal, a pack that takes more than a second shows its progress on standard error.\n"
    "Entries are stored in sorted order; each is deflated or stored, whichever is smaller.\n"
    "The same input gives the same file whatever the number of threads. When SOURCE_DATE_EPOCH\n"
    "is set, no stored time is later than it.\n";

constexpr char kInspectHelp[] =
    "Usage: sfx_pack inspect [--json] FILE\n"
    "\n"
    "Shows what the distributable file FILE holds: layout version, trailing bytes, stub size,\n"
    "archive offset and length, the command template, the extra-tool command and the entries\n"
    "(mode, size, compressed size, method, time, name; a link with its target). An entry the\n"
    "stub would refuse is marked with the rule it breaks.\n"
    "\n"
    "Options:\n"
    "      --json     print the same as a JSON document\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "\n"
    "In JSON, a text that is not valid UTF-8 shows U+FFFD for each bad sequence, and its raw\n"
    "bytes in hexadecimal under the same key with \"_hex\" appended (\"name_hex\").\n";

constexpr char kVerifyHelp[] =
    "Usage: sfx_pack verify [--key PUBLIC_KEY] FILE\n"
    "\n"
    "Checks the distributable file FILE: its trailer, that the stub unpacks every entry (safe\n"
    "names, supported methods, no encryption, link targets that stay inside), and every\n"
    "entry's data against its CRC-32. Exits with 1, naming the entry and the rule, at the first\n"
    "fault.\n"
    "\n"
    "With --key, first checks the file's signature block against PUBLIC_KEY (a .pub file or the\n"
    "key's base64 line): every byte before the block and the trusted comment must be as signed.\n"
    "Without --key, says whether the file is signed and by which key id, without checking it.\n"
    "\n"
    "Options:\n"
    "  -k, --key PUBLIC_KEY  the public key the file must be signed with\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "Exit status: 0 good (signature and entries), 1 a fault in the file, 2 a wrong command line,\n"
    "3 not signed, 4 signed by another key, 5 bad signature (a byte changed, or a damaged\n"
    "signature block).\n";

constexpr char kKeygenHelp[] =
    "Usage: sfx_pack keygen -o BASE [-W]\n"
    "\n"
    "Makes a key pair for signing: the secret key BASE.key (mode 0600) and the public key\n"
    "BASE.pub, in minisign's formats. Neither may exist. The secret key is protected by a\n"
    "password, asked twice on the terminal or taken from SFX_SIGN_PASSWORD.\n"
    "\n"
    "Options:\n"
    "  -o, --output BASE      the key files' name without .key and .pub\n"
    "  -W, --without-password write the secret key unprotected\n"
    "  -h, --help             show this help and exit\n"
    "  -V, --version          show the version and exit\n";

constexpr char kSignHelp[] =
    "Usage: sfx_pack sign -k SECRET_KEY [--comment TEXT] [--detached] FILE\n"
    "\n"
    "Signs the distributable file FILE with SECRET_KEY (made by sfx_pack keygen or minisign -G):\n"
    "appends a signature block after the trailer, covering every byte before it, and replaces\n"
    "the block of a file signed before. FILE is replaced only once the new one is complete. The\n"
    "password of a protected key is asked on the terminal or taken from SFX_SIGN_PASSWORD.\n"
    "\n"
    "Options:\n"
    "  -k, --key SECRET_KEY  the secret key file\n"
    "      --comment TEXT    the trusted comment, signed too (default:\n"
    "                        timestamp:SECONDS file:NAME)\n"
    "      --detached        write FILE.minisig over the whole file instead, which\n"
    "                        minisign -Vm FILE -p KEY.pub checks\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n";

int fail(const Status& status) {
  std::fprintf(stderr, "sfx_pack: error: %s\n", status.message().c_str());
  return status.exit_status();
}

int usage_error(const std::string& message) { return fail(Status::usage(message)); }

int print_version() {
  std::printf("sfx_pack %s (trailer layout %s)\n", SFX_PACK_VERSION,
              PayloadTrailer::LAYOUT_VERSION);
  return EXIT_PACK_OK;
}

// A whole decimal number in [low, high], or false.
bool parse_number(const char* text, long low, long high, long& value) {
  if (*text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return errno == 0 && *end == '\0' && value >= low && value <= high;
}

int default_jobs() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count < MAX_JOBS ? count : MAX_JOBS;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online < MAX_JOBS ? online : MAX_JOBS) : 1;
}

// The text of an option getopt_long did not accept: unknown, or `missing` its value.
std::string bad_option(char** argv, bool missing) {
  if (!missing && optopt != 0) return std::string("-") + static_cast<char>(optopt);
  const char* text = argv[optind - 1];
  const char* equals = std::strchr(text, '=');
  return equals != nullptr ? std::string(text, equals) : std::string(text);
}

enum OptionCode {
  kHelp = 'h',
  kVersion = 'V',
  kStub = 1000,
  kJson,
  kArch,
  kLabel,
  kSign,
  kComment,
  kDetached
};

// The options every command shares and its own; the short option string starts with ':' so
// that a missing argument is told apart from an unknown option.
struct Parser {
  std::string command;
  std::string short_options;
  std::vector<option> long_options;
};

// Runs getopt_long over argv[1..] (argv[0] being the command word); calls `handle` with each
// option that is not --help or --version. Returns -1 to go on, or the exit status.
template <typename Handler>
int parse(int argc, char** argv, const Parser& parser, const char* help, Handler handle) {
  std::vector<option> long_options = parser.long_options;
  long_options.push_back({"help", no_argument, nullptr, kHelp});
  long_options.push_back({"version", no_argument, nullptr, kVersion});
  long_options.push_back({nullptr, 0, nullptr, 0});
  const std::string short_options = ":" + parser.short_options + "hV";
  optind = 0;  // Start getopt afresh.
  opterr = 0;
  bool help_wanted = false;
  bool version_wanted = false;
  for (;;) {
    optopt = 0;
    const int code = getopt_long(argc, argv, short_options.c_str(), long_options.data(), nullptr);
    if (code == -1) break;
    if (code == kHelp) {
      help_wanted = true;
    } else if (code == kVersion) {
      version_wanted = true;
    } else if (code == '?') {
      return usage_error("unknown option " + quoted(bad_option(argv, false)) + " for " +
                         parser.command + " (see 'sfx_pack " + parser.command + " --help')");
    } else if (code == ':') {
      return usage_error("the option " + quoted(bad_option(argv, true)) + " needs a value");
    } else {
      const int status = handle(code, optarg);
      if (status >= 0) return status;
    }
  }
  if (help_wanted) {
    std::fputs(help, stdout);
    return EXIT_PACK_OK;
  }
  if (version_wanted) return print_version();
  return -1;
}

int run_create(int argc, char** argv) {
  CreateOptions options;
  options.archive.jobs = default_jobs();
  std::optional<std::string> key_path;
  std::optional<std::string> comment;
  bool output_given = false;
  bool command_given = false;
  bool quiet = false;
  const Parser parser{"create",
                      "o:c:e:l:j:Lq",
                      {{"output", required_argument, nullptr, 'o'},
                       {"command", required_argument, nullptr, 'c'},
                       {"extra-tool-command", required_argument, nullptr, 'e'},
                       {"arch", required_argument, nullptr, kArch},
                       {"stub", required_argument, nullptr, kStub},
                       {"level", required_argument, nullptr, 'l'},
                       {"jobs", required_argument, nullptr, 'j'},
                       {"follow-symlinks", no_argument, nullptr, 'L'},
                       {"quiet", no_argument, nullptr, 'q'},
                       {"label", required_argument, nullptr, kLabel},
                       {"sign", required_argument, nullptr, kSign},
                       {"comment", required_argument, nullptr, kComment}}};
  const int parsed = parse(argc, argv, parser, kCreateHelp, [&](int code, const char* value) {
    long number = 0;
    switch (code) {
      case 'o':
        options.output = value;
        output_given = true;
        break;
      case 'c':
        options.command_template = value;
        command_given = true;
        break;
      case 'e':
        options.extra_tool_command = value;
        break;
      case kArch:
        if (const Status named = machine_from_option(value, options.machine); !named.is_ok()) {
          return fail(named);
        }
        break;
      case kStub:
        options.stub = value;
        break;
      case 'L':
        options.follow_links = true;
        break;
      case 'q':
        quiet = true;
        break;
      case kLabel:
        options.label = value;
        break;
      case kSign:
        key_path = value;
        break;
      case kComment:
        comment = value;
        break;
      case 'l':
        if (!parse_number(value, 0, 9, number)) {
          return usage_error("the level " + quoted(value) + " is not a number from 0 to 9");
        }
        options.archive.level = static_cast<int>(number);
        break;
      case 'j':
        if (!parse_number(value, 1, MAX_JOBS, number)) {
          return usage_error("the jobs " + quoted(value) + " is not a number from 1 to " +
                             std::to_string(MAX_JOBS));
        }
        options.archive.jobs = static_cast<int>(number);
        break;
      default:
        break;
    }
    return -1;
  });
  if (parsed >= 0) return parsed;
  if (!output_given) return usage_error("create needs the output file: -o OUT");
  if (!command_given) return usage_error("create needs the command template: -c TEMPLATE");
  if (optind == argc) return usage_error("create needs the SOURCE directory or ZIP archive");
  if (argc - optind > 1) {
    return usage_error("create takes one SOURCE; " + quoted(argv[optind + 1]) + " is one too many");
  }
  options.source = argv[optind];
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && *epoch != '\0') {  // Set but empty counts as not set.
    long long value = 0;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(epoch, &end, 10);
    if (*end != '\0' || errno != 0 || value < 0) {
      return usage_error("SOURCE_DATE_EPOCH " + quoted(epoch) + " is not a number of seconds");
    }
    options.time_cap = value;
  }

  if (comment && !key_path) return usage_error("--comment goes with --sign KEY");
  SecretKey key;
  if (key_path) {
    options.trusted_comment = comment ? *comment : default_trusted_comment(options.output);
    Status signing = check_trusted_comment(options.trusted_comment);
    if (signing.is_ok()) signing = read_secret_key(*key_path, key);
    if (!signing.is_ok()) return fail(signing);
    options.signing_key = &key;
  }

  options.show_progress = !quiet && isatty(STDERR_FILENO) == 1;
  CreateReport report;
  const Status status = create_distributable(options, report);
  for (const std::string& warning : report.warnings) {
    std::fprintf(stderr, "sfx_pack: warning: %s\n", warning.c_str());
  }
  if (!status.is_ok()) return fail(status);
  if (quiet) return EXIT_PACK_OK;
  std::printf("%s: %zu entries, archive of %llu bytes after a stub of %llu bytes\n",
              escaped(options.output).c_str(), report.entry_count,
              static_cast<unsigned long long>(report.archive_length),
              static_cast<unsigned long long>(report.stub_size));
  return EXIT_PACK_OK;
}

// The one FILE operand of inspect and verify.
int single_file(int argc, char** argv, const std::string& command, std::string& path) {
  if (optind == argc) return usage_error(command + " needs a FILE");
  if (argc - optind > 1) {
    return usage_error(command + " takes one FILE; " + quoted(argv[optind + 1]) +
                       " is one too many");
  }
  path = argv[optind];
  return -1;
}

int run_inspect(int argc, char** argv) {
  bool json = false;
  const Parser parser{"inspect", "", {{"json", no_argument, nullptr, kJson}}};
  int status = parse(argc, argv, parser, kInspectHelp, [&](int code, const char*) {
    if (code == kJson) json = true;
    return -1;
  });
  std::string path;
  if (status < 0) status = single_file(argc, argv, "inspect", path);
  if (status >= 0) return status;
  DistributableInfo info;
  const Status read = read_distributable(path, info);
  if (!read.is_ok()) return fail(read);
  const std::string text = json ? format_json(info) : format_text(info);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return EXIT_PACK_OK;
}

int run_verify(int argc, char** argv) {
  std::optional<std::string> key_given;
  const Parser parser{"verify", "k:", {{"key", required_argument, nullptr, 'k'}}};
  int status = parse(argc, argv, parser, kVerifyHelp, [&](int code, const char* value) {
    if (code == 'k') key_given = value;
    return -1;
  });
  std::string path;
  if (status < 0) status = single_file(argc, argv, "verify", path);
  if (status >= 0) return status;
  PublicKey key;
  if (key_given) {
    if (const Status read = read_public_key(*key_given, key); !read.is_ok()) return fail(read);
  }
  // The signature first: a changed byte shows as a bad signature, whatever else it breaks.
  SignatureReport signature;
  const Status signed_by = check_signature(path, key_given ? &key : nullptr, signature);
  if (!signed_by.is_ok()) return fail(signed_by);
  std::string summary;
  const Status verified = verify_distributable(path, summary);
  if (!verified.is_ok()) return fail(verified);
  std::printf("%s\n", summary.c_str());
  if (key_given) {
    std::printf("%s: good signature by key id %s, trusted comment: %s\n", escaped(path).c_str(),
                signature.key_id.c_str(), quoted(signature.trusted_comment).c_str());
  } else if (signature.block == SignatureBlockStatus::kFound) {
    std::printf("%s: signed by key id %s (not verified: use --key)\n", escaped(path).c_str(),
                signature.key_id.c_str());
  } else if (signature.block == SignatureBlockStatus::kMalformed) {
    std::printf("%s: has a damaged signature block (not verified: use --key)\n",
                escaped(path).c_str());
  } else {
    std::printf("%s: not signed\n", escaped(path).c_str());
  }
  return EXIT_PACK_OK;
}

int run_keygen(int argc, char** argv) {
  std::optional<std::string> base;
  bool with_password = true;
  const Parser parser{"keygen",
                      "o:W",
                      {{"output", required_argument, nullptr, 'o'},
                       {"without-password", no_argument, nullptr, 'W'}}};
  const int status = parse(argc, argv, parser, kKeygenHelp, [&](int code, const char* value) {
    if (code == 'o') base = value;
    if (code == 'W') with_password = false;
    return -1;
  });
  if (status >= 0) return status;
  if (!base) return usage_error("keygen needs the key files' name: -o BASE");
  if (optind != argc)
    return usage_error("keygen takes no operand; " + quoted(argv[optind]) + " is one too many");
  std::string key_id;
  const Status made = generate_keys(*base, with_password, key_id);
  if (!made.is_ok()) return fail(made);
  std::printf("key id %s: secret key %s, public key %s\n", key_id.c_str(),
              quoted(*base + ".key").c_str(), quoted(*base + ".pub").c_str());
  return EXIT_PACK_OK;
}

int run_sign(int argc, char** argv) {
  std::optional<std::string> key_path;
  std::optional<std::string> comment;
  bool detached = false;
  const Parser parser{"sign",
                      "k:",
                      {{"key", required_argument, nullptr, 'k'},
                       {"comment", required_argument, nullptr, kComment},
                       {"detached", no_argument, nullptr, kDetached}}};
  int status = parse(argc, argv, parser, kSignHelp, [&](int code, const char* value) {
    if (code == 'k') key_path = value;
    if (code == kComment) comment = value;
    if (code == kDetached) detached = true;
    return -1;
  });
  std::string path;
  if (status < 0) status = single_file(argc, argv, "sign", path);
  if (status >= 0) return status;
  if (!key_path) return usage_error("sign needs the secret key: -k SECRET_KEY");
  const std::string trusted = comment ? *comment : default_trusted_comment(path);
  Status signing = check_trusted_comment(trusted);
  SecretKey key;
  if (signing.is_ok()) signing = read_secret_key(*key_path, key);
  if (signing.is_ok()) signing = sign_file(path, key, trusted, detached);
  if (!signing.is_ok()) return fail(signing);
  std::printf("%s: signed by key id %s%s\n", escaped(path).c_str(),
              key_id_text(key.key_id.data()).c_str(),
              detached ? (", signature in " + quoted(path + ".minisig")).c_str() : "");
  return EXIT_PACK_OK;
}

}  // namespace

int run_sfx_pack(int argc, char** argv) {
  if (argc < 2) {
    return usage_error(
        "no command given; use create, inspect, verify, keygen or sign (see 'sfx_pack --help')");
  }
  const std::string command = argv[1];
  if (command == "-h" || command == "--help") {
    std::fputs(kMainHelp, stdout);
    return EXIT_PACK_OK;
  }
  if (command == "-V" || command == "--version") return print_version();
  if (command == "create") return run_create(argc - 1, argv + 1);
  if (command == "inspect") return run_inspect(argc - 1, argv + 1);
  if (command == "verify") return run_verify(argc - 1, argv + 1);
  if (command == "keygen") return run_keygen(argc - 1, argv + 1);
  if (command == "sign") return run_sign(argc - 1, argv + 1);
  if (!command.empty() && command[0] == '-') {
    return usage_error("unknown option " + quoted(command) + " (see 'sfx_pack --help')");
  }
  return usage_error("unknown command " + quoted(command) +
                     "; use create, inspect, verify, keygen or sign (see 'sfx_pack --help')");
}
