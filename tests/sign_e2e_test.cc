// Signed and labelled distributable files, made and checked with sfx_pack as a vendor and a
// receiver would, checked against minisign where it is installed, and run with the stub: a
// signed file behaves as the unsigned one does.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::list_tree;
using sfx_testing::pack_path;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunOptions;
using sfx_testing::RunResult;
using sfx_testing::TempDir;
using sfx_testing::write_file;

const char kScript[] =
    "#!/bin/sh\n"
    "echo \"args: $*\"\n"
    "ls\n";

// The second line of `text`: verify's signature line, after the entries' summary.
std::string second_line(const std::string& text) {
  const std::size_t start = text.find('\n') + 1;
  return text.substr(start, text.find('\n', start) + 1 - start);
}

// SOURCE_DATE_EPOCH fixes the default trusted comment's time.
RunOptions fixed_time() {
  RunOptions options;
  options.env_set = {{"SOURCE_DATE_EPOCH", "1700000000"}, {"TZ", "UTC"}};
  options.env_unset = {"SFX_SIGN_PASSWORD"};
  return options;
}

RunResult pack(const std::vector<std::string>& args, const RunOptions& options = fixed_time()) {
  return run_program(pack_path(), args, options);
}

// A payload directory, a key pair and the same payload packed unsigned and signed.
class Signed : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir((dir / "src").c_str(), 0755), 0);
    write_file(dir / "src/run.sh", kScript, 0755);
    write_file(dir / "src/data.txt", "payload data\n");
    const RunResult made = pack({"keygen", "-W", "-o", dir / "vendor"});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    key_id = made.out.substr(7, 16);
    ASSERT_EQ(made.out, "key id " + key_id + ": secret key '" + (dir / "vendor.key") +
                            "', public key '" + (dir / "vendor.pub") + "'\n");
    for (const bool signing : {false, true}) {
      std::vector<std::string> args = {"create",  "-q",
                                       "-o",      signing ? signed_file : plain_file,
                                       "-c",      "run.sh %argv%",
                                       "--label", "Acme Flasher 2.1"};
      if (signing) args.insert(args.end(), {"--sign", dir / "vendor.key"});
      args.push_back(dir / "src");
      const RunResult created = pack(args);
      ASSERT_EQ(created.exit_code, 0) << created.err;
      ASSERT_EQ(created.out + created.err, "");
    }
  }

  TempDir dir;
  std::string key_id;
  const std::string plain_file = dir / "plain.bin";
  const std::string signed_file = dir / "signed.bin";
};

TEST_F(Signed, VerifyGoodMissingAndWrongKey) {
  const std::string summary_tail = ": OK, 2 entries, archive of ";
  RunResult good = pack({"verify", "--key", dir / "vendor.pub", signed_file});
  EXPECT_EQ(good.exit_code, 0) << good.err;
  EXPECT_EQ(good.err, "");
  EXPECT_EQ(second_line(good.out),
            signed_file + ": good signature by key id " + key_id +
                ", trusted comment: 'timestamp:1700000000 file:signed.bin'\n");
  EXPECT_EQ(good.out.rfind(signed_file + summary_tail, 0), 0u) << good.out;

  RunResult missing = pack({"verify", "--key", dir / "vendor.pub", plain_file});
  EXPECT_EQ(missing.exit_code, 3);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "sfx_pack: error: '" + plain_file + "' is not signed\n");

  ASSERT_EQ(pack({"keygen", "-W", "-o", dir / "other"}).exit_code, 0);
  RunResult wrong = pack({"verify", "-k", dir / "other.pub", signed_file});
  EXPECT_EQ(wrong.exit_code, 4);
  EXPECT_EQ(wrong.out, "");
  EXPECT_EQ(wrong.err.rfind("sfx_pack: error: '" + signed_file + "' is signed by key id " + key_id +
                                ", not by the given key ",
                            0),
            0u)
      << wrong.err;

  RunResult unchecked = pack({"verify", signed_file});
  EXPECT_EQ(unchecked.exit_code, 0);
  EXPECT_EQ(second_line(unchecked.out),
            signed_file + ": signed by key id " + key_id + " (not verified: use --key)\n");
  RunResult plain = pack({"verify", plain_file});
  EXPECT_EQ(plain.exit_code, 0);
  EXPECT_EQ(second_line(plain.out), plain_file + ": not signed\n");
}

// One flipped bit in each region: the stub, the archive, the trailer, the block.
TEST_F(Signed, FlippedBitInEachRegionIsBad) {
  const std::string good = read_file(signed_file);
  const std::string unsigned_bytes = read_file(plain_file);
  // The trailer is the last 300 bytes before the block; the archive ends there.
  const std::size_t block_at = unsigned_bytes.size();
  const std::size_t trailer_at = block_at - 300;
  struct Case {
    const char* region;
    std::size_t at;
    std::string err;
  };
  const std::string bad = "sfx_pack: error: '" + signed_file + "': bad signature: ";
  const Case cases[] = {
      {"stub", 1000, bad + "the file was changed after it was signed (key id " + key_id + ")\n"},
      {"archive", trailer_at - 30,
       bad + "the file was changed after it was signed (key id " + key_id + ")\n"},
      {"trailer", trailer_at + 2,
       bad + "the file was changed after it was signed (key id " + key_id + ")\n"},
      {"block signature", block_at + 100, ""},
      {"block comment", good.find("timestamp:") + 3,
       bad + "its trusted comment was changed (key id " + key_id + ")\n"},
      {"block footer", good.size() - 5, ""},
      {"block footer's name", good.size() - 20,
       bad + "its signature block is damaged: its footer is damaged\n"},
  };
  for (const Case& c : cases) {
    std::string changed = good;
    changed[c.at] = static_cast<char>(changed[c.at] ^ 0x04);
    write_file(signed_file, changed, 0755);
    RunResult verified = pack({"verify", "--key", dir / "vendor.pub", signed_file});
    EXPECT_EQ(verified.exit_code, 5) << c.region << ": " << verified.err;
    EXPECT_EQ(verified.out, "") << c.region;
    if (!c.err.empty()) {
      EXPECT_EQ(verified.err, c.err) << c.region;
    }
  }
}

TEST_F(Signed, ResigningReplacesTheBlockWithTheNewComment) {
  const std::string once = read_file(signed_file);
  RunResult resigned =
      pack({"sign", "-k", dir / "vendor.key", "--comment", "Acme Flasher 2.1 GA", signed_file});
  ASSERT_EQ(resigned.exit_code, 0) << resigned.err;
  EXPECT_EQ(resigned.out, signed_file + ": signed by key id " + key_id + "\n");
  const std::string twice = read_file(signed_file);
  // "Acme Flasher 2.1 GA" in place of "timestamp:1700000000 file:signed.bin".
  EXPECT_EQ(twice.size(), once.size() - 36 + 19);
  EXPECT_EQ(sfx_testing::mode_of(signed_file), 0755u);
  RunResult verified = pack({"verify", "--key", dir / "vendor.pub", signed_file});
  EXPECT_EQ(verified.exit_code, 0) << verified.err;
  EXPECT_NE(verified.out.find("trusted comment: 'Acme Flasher 2.1 GA'\n"), std::string::npos);
  // Signing the unsigned file appends the very signature create --sign made: the two files
  // are the same before their blocks.
  const std::string unsigned_bytes = read_file(plain_file);
  ASSERT_EQ(pack({"sign", "-k", dir / "vendor.key", plain_file}).exit_code, 0);
  const std::string signed_later = read_file(plain_file);
  EXPECT_EQ(signed_later.substr(0, unsigned_bytes.size()), unsigned_bytes);
  const auto first_two_lines = [&unsigned_bytes](const std::string& text) {
    const std::string block = text.substr(unsigned_bytes.size());
    return block.substr(0, block.find('\n', block.find('\n') + 1));
  };
  EXPECT_EQ(first_two_lines(signed_later), first_two_lines(once));
  EXPECT_EQ(pack({"verify", "--key", dir / "vendor.pub", plain_file}).exit_code, 0);
}

TEST_F(Signed, LabelAndSignatureInEveryOutput) {
  RunResult info = run_program(signed_file, {"--sfx-info"});
  EXPECT_EQ(info.exit_code, 0) << info.err;
  EXPECT_NE(info.out.find("label:              'Acme Flasher 2.1'\n"
                          "signature:          signed by key id " +
                          key_id + " (not verified here: use sfx_pack verify --key)\n"),
            std::string::npos)
      << info.out;
  RunResult plain_info = run_program(plain_file, {"--sfx-info"});
  EXPECT_NE(plain_info.out.find("label:              'Acme Flasher 2.1'\n"
                                "signature:          not signed\n"),
            std::string::npos)
      << plain_info.out;

  RunResult inspected = pack({"inspect", signed_file});
  EXPECT_EQ(inspected.exit_code, 0) << inspected.err;
  EXPECT_NE(inspected.out.find("label:              'Acme Flasher 2.1'\n"
                               "signature:          signed by key id " +
                               key_id +
                               " (not verified here: use sfx_pack verify --key)\n"
                               "trusted comment:    'timestamp:1700000000 file:signed.bin'\n"),
            std::string::npos)
      << inspected.out;
  RunResult json = pack({"inspect", "--json", signed_file});
  EXPECT_EQ(json.exit_code, 0) << json.err;
  EXPECT_NE(json.out.find("  \"label\": \"Acme Flasher 2.1\",\n"
                          "  \"signature\": {\n"
                          "    \"key_id\": \"" +
                          key_id +
                          "\",\n"
                          "    \"trusted_comment\": \"timestamp:1700000000 file:signed.bin\",\n"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("    \"verified\": false\n"), std::string::npos) << json.out;
  RunResult plain_json = pack({"inspect", "--json", plain_file});
  EXPECT_NE(plain_json.out.find("  \"signature\": null,\n"), std::string::npos) << plain_json.out;
}

// The stub runs a signed file exactly as the unsigned one, with every option.
TEST_F(Signed, SignedFileRunsAsTheUnsignedOne) {
  const std::vector<std::vector<std::string>> runs = {
      {"a", "b c"}, {"--sfx-list"}, {"--sfx-check"}, {"--sfx-help"}, {"--sfx-no-pause", "x"}};
  RunOptions same_name;
  same_name.argv0 = "fwpkg";
  for (const auto& args : runs) {
    const RunResult plain = run_program(plain_file, args, same_name);
    const RunResult signed_run = run_program(signed_file, args, same_name);
    EXPECT_EQ(signed_run.exit_code, plain.exit_code) << args[0];
    std::string out = signed_run.out;
    for (std::size_t at; (at = out.find(signed_file)) != std::string::npos;) {
      out.replace(at, signed_file.size(), plain_file);
    }
    EXPECT_EQ(out, plain.out) << args[0];
    EXPECT_EQ(signed_run.err, plain.err) << args[0];
  }
  for (const std::string& file : {plain_file, signed_file}) {
    ASSERT_EQ(mkdir((file + ".x").c_str(), 0755), 0);
    const RunResult extracted =
        run_program(file, {"--sfx-extract-dir", file + ".x", "--sfx-extract-only"}, same_name);
    EXPECT_EQ(extracted.exit_code, 0) << extracted.err;
  }
  EXPECT_EQ(list_tree(plain_file + ".x"), list_tree(signed_file + ".x"));
  EXPECT_EQ(list_tree(signed_file + ".x"),
            (std::vector<std::string>{"fwpkg-dir/", "fwpkg-dir/data.txt", "fwpkg-dir/run.sh"}));
  EXPECT_EQ(read_file(signed_file + ".x/fwpkg-dir/data.txt"), "payload data\n");
}

TEST_F(Signed, OptionErrors) {
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string err;
  };
  const Case cases[] = {
      {{"create", "-o", dir / "x.bin", "-c", "./run.sh", "--label", std::string(201, 'L'),
        dir / "src"},
       2,
       "the label is 201 bytes long; at most 200 are stored"},
      {{"create", "-o", dir / "x.bin", "-c", "./run.sh", "--label", "bad\xff", dir / "src"},
       2,
       "the label is not UTF-8 text"},
      {{"create", "-o", dir / "x.bin", "-c", "./run.sh", "--comment", "c", dir / "src"},
       2,
       "--comment goes with --sign KEY"},
      {{"create", "-o", dir / "x.bin", "-c", "./run.sh", "--sign", dir / "vendor.pub", dir / "src"},
       1,
       "'" + (dir / "vendor.pub") + "' is not a secret key file"},
      {{"sign", signed_file}, 2, "sign needs the secret key: -k SECRET_KEY"},
      {{"sign", "-k", dir / "vendor.key", "--comment", "two\nlines", signed_file},
       2,
       "the trusted comment holds a control character"},
      {{"keygen", "-W", "-o", dir / "vendor"},
       2,
       "the key file '" + (dir / "vendor.key") + "' exists; sfx_pack keygen replaces none"},
      {{"keygen", "-o", dir / "new"},
       2,
       "the secret key needs a password: set SFX_SIGN_PASSWORD or run on a terminal"},
      {{"verify", "--key", dir / "missing.pub", signed_file},
       1,
       "'" + (dir / "missing.pub") + "' is neither a public key file nor a public key"},
  };
  for (const Case& c : cases) {
    RunOptions options = fixed_time();
    const RunResult result = run_program(
        "/usr/bin/setsid",
        [&] {
          std::vector<std::string> args = {"-w", pack_path()};
          args.insert(args.end(), c.args.begin(), c.args.end());
          return args;
        }(),
        options);  // No terminal to ask a password on.
    EXPECT_EQ(result.exit_code, c.exit_code) << c.err;
    EXPECT_EQ(result.err, "sfx_pack: error: " + c.err + "\n");
  }
  EXPECT_FALSE(path_exists(dir / "x.bin"));
  EXPECT_FALSE(path_exists(dir / "new.key"));
}

bool have_minisign() { return access("/usr/bin/minisign", X_OK) == 0; }

// Keys made by minisign sign files that sfx_pack verifies; detached signatures made by sfx_pack
// satisfy minisign.
TEST_F(Signed, MinisignKeysAndSignatures) {
  if (!have_minisign()) GTEST_SKIP() << "minisign is not installed";
  RunResult made =
      run_program("/usr/bin/minisign", {"-G", "-W", "-p", dir / "m.pub", "-s", dir / "m.key"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  RunResult signing = pack({"sign", "-k", dir / "m.key", signed_file});
  ASSERT_EQ(signing.exit_code, 0) << signing.err;
  EXPECT_EQ(pack({"verify", "-k", dir / "m.pub", signed_file}).exit_code, 0);
  const std::string pub = read_file(dir / "m.pub");
  const std::string line = pub.substr(pub.find('\n') + 1, pub.size() - pub.find('\n') - 2);
  EXPECT_EQ(pack({"verify", "-k", line, signed_file}).exit_code, 0);

  RunResult detached = pack({"sign", "--detached", "-k", dir / "vendor.key", plain_file});
  ASSERT_EQ(detached.exit_code, 0) << detached.err;
  EXPECT_EQ(detached.out, plain_file + ": signed by key id " + key_id + ", signature in '" +
                              plain_file + ".minisig'\n");
  EXPECT_EQ(sfx_testing::mode_of(plain_file + ".minisig"), 0644u);
  RunResult checked =
      run_program("/usr/bin/minisign", {"-V", "-m", plain_file, "-p", dir / "vendor.pub"});
  EXPECT_EQ(checked.exit_code, 0) << checked.err;
  EXPECT_NE(checked.out.find("Trusted comment: timestamp:1700000000 file:plain.bin"),
            std::string::npos)
      << checked.out;
  // A file changed after its detached signature was made fails minisign's check.
  std::string changed = read_file(plain_file);
  changed[500] ^= 1;
  write_file(plain_file, changed, 0755);
  EXPECT_NE(run_program("/usr/bin/minisign", {"-V", "-m", plain_file, "-p", dir / "vendor.pub"})
                .exit_code,
            0);
}

// A password-protected key made by minisign itself, at its full password cost (seconds; a wrong
// password is tested at a cheap cost in the unit tests).
TEST_F(Signed, MinisignPasswordProtectedKey) {
  if (!have_minisign()) GTEST_SKIP() << "minisign is not installed";
  RunOptions asked;
  asked.stdin_data = "s3cret\ns3cret\n";
  RunResult made =
      run_program("/usr/bin/minisign", {"-G", "-p", dir / "e.pub", "-s", dir / "e.key"}, asked);
  ASSERT_EQ(made.exit_code, 0) << made.err;
  RunOptions right = fixed_time();
  right.env_unset.clear();
  right.env_set.push_back({"SFX_SIGN_PASSWORD", "s3cret"});
  RunResult signing = pack({"sign", "-k", dir / "e.key", signed_file}, right);
  ASSERT_EQ(signing.exit_code, 0) << signing.err;
  EXPECT_EQ(pack({"verify", "-k", dir / "e.pub", signed_file}).exit_code, 0);
}

}  // namespace
