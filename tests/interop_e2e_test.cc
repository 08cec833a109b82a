// The stub and sfx_pack read a distributable file with one reader, so they must agree on every
// archive: each archive of other projects' ZIP test suites, appended to the stub by the test
// builder, is checked by the stub's --sfx-check and by sfx_pack verify, and packed again by
// sfx_pack create from the ZIP archive itself. The archives live beside the project, when they
// are there.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

using sfx_testing::DistributableBuilder;
using sfx_testing::interop_zips_dir;
using sfx_testing::list_dir;
using sfx_testing::pack_path;
using sfx_testing::read_file;
using sfx_testing::run_program;
using sfx_testing::RunResult;
using sfx_testing::TempDir;

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// The entry that "-E- Check failed at entry NAME: FILE" names, or "" for a fault of the archive
// as a whole.
std::string entry_named_by_check(const std::string& err, const std::string& file) {
  const std::string head = "-E- Check failed at entry ";
  const std::string tail = ": " + file + "\n";
  if (err.rfind(head, 0) != 0 || err.size() < head.size() + tail.size()) return {};
  if (err.compare(err.size() - tail.size(), tail.size(), tail) != 0) return {};
  return err.substr(head.size(), err.size() - head.size() - tail.size());
}

// The one fault of sfx_pack create that is the generator's own: it makes no file of an archive
// without entries, whose payload command could name nothing.
bool generator_refusal(const std::string& err) {
  return err.find("has no entries; the stub cannot unpack an archive without entries") !=
         std::string::npos;
}

TEST(InteropEndToEnd, StubAndPackerGiveTheSameVerdictOnEveryArchive) {
  const std::string corpus = interop_zips_dir();
  if (list_dir(corpus).empty()) GTEST_SKIP() << "no archives at " << corpus;
  const TempDir dir;
  int agreed_ok = 0;
  int agreed_refused = 0;
  for (const std::string& name : list_dir(corpus)) {
    if (name == "README.md" || name == "MANIFEST.tsv") continue;
    SCOPED_TRACE(name);
    const std::string file = dir / "app.run";
    DistributableBuilder builder;
    builder.archive = read_file(corpus + "/" + name);
    builder.command = "run.sh";
    builder.write(file);

    const RunResult stub = run_program(file, {"--sfx-check"});
    const RunResult verify = run_program(pack_path(), {"verify", file});
    ASSERT_NE(stub.exit_code, -1) << stub.err;
    ASSERT_NE(verify.exit_code, -1) << verify.err;
    const bool stub_ok = stub.exit_code == 0;
    EXPECT_EQ(stub_ok, verify.exit_code == 0) << "stub: " << stub.out << stub.err
                                              << "verify: " << verify.out << verify.err;
    if (!stub_ok && verify.exit_code != 0) {
      ++agreed_refused;
      const std::string entry = entry_named_by_check(stub.err, file);
      if (!entry.empty()) {
        EXPECT_NE(verify.err.find("the stub refuses entry '" + entry + "': "), std::string::npos)
            << verify.err;
      }
      // The step's own line, as the stub printed it, ends sfx_pack's one message.
      if (!stub.out.empty()) {
        EXPECT_NE(verify.err.find(": " + first_line(stub.out) + "\n"), std::string::npos)
            << "stub: " << stub.out << "verify: " << verify.err;
      }
    } else if (stub_ok) {
      ++agreed_ok;
    }

    // Packed again from the ZIP archive itself: what the stub takes, sfx_pack takes, and the
    // file it writes passes the stub's check.
    const std::string repacked = dir / "again.run";
    std::remove(repacked.c_str());
    const RunResult create = run_program(
        pack_path(), {"create", "-q", "-o", repacked, "-c", "run.sh", corpus + "/" + name});
    if (create.exit_code == 0) {
      EXPECT_TRUE(stub_ok) << "sfx_pack create took what the stub refuses: " << stub.err;
      EXPECT_EQ(run_program(repacked, {"--sfx-check"}).exit_code, 0);
    } else if (stub_ok) {
      EXPECT_TRUE(generator_refusal(create.err)) << create.err;
    }
  }
  std::printf("%d archives passed by both, %d refused by both\n", agreed_ok, agreed_refused);
  EXPECT_GT(agreed_ok, 100);
}

}  // namespace
