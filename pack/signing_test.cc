#include "pack/signing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "payload/signature_block.h"
#include "payload/trailer.h"
#include "testing/test_util.h"

namespace {

using sfx_testing::make_zip;
using sfx_testing::mode_of;
using sfx_testing::path_exists;
using sfx_testing::read_file;
using sfx_testing::TempDir;
using sfx_testing::write_file;
using sfx_testing::ZipEntry;

// A cheap password cost, so that tests of protected keys take milliseconds.
const PasswordCost kCheap{1 << 15, 1 << 20};

class PasswordVariable {
 public:
  explicit PasswordVariable(const char* value) {
    if (value != nullptr) {
      setenv(SIGN_PASSWORD_VARIABLE, value, 1);
    } else {
      unsetenv(SIGN_PASSWORD_VARIABLE);
    }
  }
  ~PasswordVariable() { unsetenv(SIGN_PASSWORD_VARIABLE); }
};

struct Regions {
  std::size_t stub = 0, archive = 0, trailer = 0;  // Where each starts.
};

// A distributable file with a stand-in stub; sets where its regions start.
std::string distributable(Regions& regions) {
  const std::string stub = "stand-in stub image\n" + std::string(100, 's');
  const std::string archive = make_zip({ZipEntry::file("run.sh", "#!/bin/sh\necho hi\n", 0100755)});
  regions = {0, stub.size(), stub.size() + archive.size()};
  return stub + archive +
         encode_trailer("./run.sh", static_cast<std::uint32_t>(archive.size()), std::nullopt);
}

void make_keys(const std::string& base, std::string& key_id) {
  const PasswordVariable none(nullptr);
  const Status made = generate_keys(base, false, key_id);
  ASSERT_TRUE(made.is_ok()) << made.message();
}

void sign(const std::string& path, const std::string& key_path, const std::string& comment) {
  SecretKey key;
  Status status = read_secret_key(key_path, key);
  if (status.is_ok()) status = sign_file(path, key, comment, false);
  ASSERT_TRUE(status.is_ok()) << status.message();
}

Status check(const std::string& path, const std::string& public_key, SignatureReport& report) {
  PublicKey key;
  const Status read = read_public_key(public_key, key);
  EXPECT_TRUE(read.is_ok()) << read.message();
  return check_signature(path, &key, report);
}

// A key pair k.key and k.pub, and an unsigned distributable file f.bin (mode 0755).
class Signing : public ::testing::Test {
 protected:
  void SetUp() override {
    make_keys(dir / "k", key_id);
    body = distributable(regions);
    write_file(dir / "f.bin", body, 0755);
  }

  const TempDir dir;
  std::string key_id;
  Regions regions;
  std::string body;
};

TEST_F(Signing, KeygenWritesBothFilesAndReplacesNone) {
  EXPECT_EQ(mode_of(dir / "k.key"), 0600u);
  EXPECT_EQ(
      read_file(dir / "k.pub").rfind("untrusted comment: sfx_pack public key " + key_id + "\n", 0),
      0u);
  const std::string secret = read_file(dir / "k.key");
  std::string again;
  for (const char* existing : {"k.key", "k.pub"}) {
    const TempDir other;
    write_file(other / existing, "mine\n");
    const Status refused = generate_keys(other / "k", false, again);
    EXPECT_EQ(refused.exit_status(), EXIT_PACK_USAGE);
    EXPECT_EQ(refused.message(),
              "the key file '" + (other / existing) + "' exists; sfx_pack keygen replaces none");
    EXPECT_EQ(read_file(other / existing), "mine\n");
    EXPECT_EQ(sfx_testing::list_dir(other.path()).size(), 1u);
  }
  EXPECT_EQ(read_file(dir / "k.key"), secret);
}

TEST_F(Signing, GoodSignatureNamesKeyAndComment) {
  ASSERT_EQ(chmod((dir / "f.bin").c_str(), 0751), 0);
  sign(dir / "f.bin", dir / "k.key", "product 1.0");
  EXPECT_EQ(mode_of(dir / "f.bin"), 0751u);  // The mode is kept.
  EXPECT_EQ(read_file(dir / "f.bin").substr(0, body.size()), body);
  SignatureReport report;
  const Status good = check(dir / "f.bin", dir / "k.pub", report);
  EXPECT_TRUE(good.is_ok()) << good.message();
  EXPECT_EQ(report.key_id, key_id);
  EXPECT_EQ(report.trusted_comment, "product 1.0");
  // The public key's base64 line alone works as well.
  const std::string pub = read_file(dir / "k.pub");
  const std::string line = pub.substr(pub.find('\n') + 1, pub.size() - pub.find('\n') - 2);
  EXPECT_TRUE(check(dir / "f.bin", line, report).is_ok());
}

TEST_F(Signing, ResigningReplacesTheBlock) {
  std::string first_id, second_id;
  make_keys(dir / "a", first_id);
  make_keys(dir / "b", second_id);
  sign(dir / "f.bin", dir / "a.key", "first");
  sign(dir / "f.bin", dir / "b.key", "second");
  const std::string signed_once = read_file(dir / "f.bin");
  sign(dir / "f.bin", dir / "b.key", "second");
  EXPECT_EQ(read_file(dir / "f.bin"), signed_once);  // Ed25519 signatures are deterministic.
  SignatureReport report;
  EXPECT_TRUE(check(dir / "f.bin", dir / "b.pub", report).is_ok());
  EXPECT_EQ(report.trusted_comment, "second");
  const Status old_key = check(dir / "f.bin", dir / "a.pub", report);
  EXPECT_EQ(old_key.exit_status(), EXIT_PACK_WRONG_KEY);
  EXPECT_EQ(old_key.message(), "'" + (dir / "f.bin") + "' is signed by key id " + second_id +
                                   ", not by the given key " + first_id);
}

TEST_F(Signing, NotSignedAndNotADistributableFile) {
  SignatureReport report;
  const Status missing = check(dir / "f.bin", dir / "k.pub", report);
  EXPECT_EQ(missing.exit_status(), EXIT_PACK_NOT_SIGNED);
  EXPECT_EQ(missing.message(), "'" + (dir / "f.bin") + "' is not signed");
  ASSERT_EQ(symlink("f.bin", (dir / "link").c_str()), 0);
  SecretKey key;
  ASSERT_TRUE(read_secret_key(dir / "k.key", key).is_ok());
  EXPECT_EQ(sign_file(dir / "link", key, "c", false).message(),
            "'" + (dir / "link") + "' is a symbolic link; sign the file it leads to");
  EXPECT_EQ(read_file(dir / "f.bin"), body);
  ASSERT_EQ(unlink((dir / "link").c_str()), 0);
  write_file(dir / "plain", "no trailer here\n");
  const Status refused = sign_file(dir / "plain", key, "c", false);
  EXPECT_EQ(refused.message(),
            "'" + (dir / "plain") + "' has no valid trailer: it is not a distributable file");
  EXPECT_EQ(read_file(dir / "plain"), "no trailer here\n");
  EXPECT_EQ(sfx_testing::list_dir(dir.path()).size(), 4u);  // No temporary file left.
}

// One flipped bit anywhere, before the block or in it, is caught.
TEST_F(Signing, EveryFlippedBitIsCaught) {
  sign(dir / "f.bin", dir / "k.key", "timestamp:1 file:f.bin");
  const std::string good = read_file(dir / "f.bin");
  PublicKey key;
  ASSERT_TRUE(read_public_key(dir / "k.pub", key).is_ok());
  const std::string bad = "'" + (dir / "f.bin") + "': bad signature: ";
  struct Region {
    const char* name;
    std::size_t from, to;
    std::string message_start;
  };
  const Region before[] = {
      {"stub", regions.stub, regions.archive, bad + "the file was changed after it was signed"},
      {"archive", regions.archive, regions.trailer, bad + "the file was changed"},
      {"trailer", regions.trailer, body.size(), bad + "the file was changed"},
  };
  for (const Region& region : before) {
    for (const std::size_t at : {region.from, (region.from + region.to) / 2, region.to - 1}) {
      std::string changed = good;
      changed[at] = static_cast<char>(changed[at] ^ 0x01);
      write_file(dir / "f.bin", changed);
      SignatureReport report;
      const Status status = check_signature(dir / "f.bin", &key, report);
      EXPECT_EQ(status.exit_status(), EXIT_PACK_BAD_SIGNATURE) << region.name << " " << at;
      EXPECT_EQ(status.message().rfind(region.message_start, 0), 0u) << status.message();
    }
  }
  // Every byte of the block, three of its bits each.
  for (std::size_t at = body.size(); at < good.size(); ++at) {
    for (const int bit : {0x01, 0x20, 0x80}) {
      std::string changed = good;
      changed[at] = static_cast<char>(changed[at] ^ bit);
      write_file(dir / "f.bin", changed);
      SignatureReport report;
      const Status status = check_signature(dir / "f.bin", &key, report);
      // A changed key id shows as another key; anything else as a bad signature.
      const int exit_status = status.exit_status();
      EXPECT_TRUE(exit_status == EXIT_PACK_BAD_SIGNATURE || exit_status == EXIT_PACK_WRONG_KEY)
          << "block byte " << at - body.size() << " bit " << bit << ": " << status.message();
    }
  }
  write_file(dir / "f.bin", good);
  SignatureReport report;
  EXPECT_TRUE(check_signature(dir / "f.bin", &key, report).is_ok());
}

TEST_F(Signing, ChangedTrustedCommentIsBad) {
  sign(dir / "f.bin", dir / "k.key", "version 1.0");
  std::string changed = read_file(dir / "f.bin");
  changed.replace(changed.find("version 1.0"), 11, "version 9.0");
  write_file(dir / "f.bin", changed);
  SignatureReport report;
  const Status status = check(dir / "f.bin", dir / "k.pub", report);
  EXPECT_EQ(status.exit_status(), EXIT_PACK_BAD_SIGNATURE);
  EXPECT_EQ(status.message(), "'" + (dir / "f.bin") +
                                  "': bad signature: its trusted comment was changed (key id " +
                                  key_id + ")");
}

TEST_F(Signing, PasswordProtectedKey) {
  {
    const PasswordVariable password("correct horse");
    const Status made = generate_keys(dir / "p", true, key_id, kCheap);
    ASSERT_TRUE(made.is_ok()) << made.message();
    SecretKey key;
    const Status opened = read_secret_key(dir / "p.key", key);
    ASSERT_TRUE(opened.is_ok()) << opened.message();
    EXPECT_EQ(key_id_text(key.key_id.data()), key_id);
  }
  EXPECT_EQ(read_file(dir / "p.key").rfind("untrusted comment: sfx_pack encrypted secret key\n", 0),
            0u);
  const PasswordVariable wrong("battery staple");
  SecretKey key;
  const Status refused = read_secret_key(dir / "p.key", key);
  EXPECT_EQ(refused.exit_status(), EXIT_PACK_INPUT_FAULT);
  EXPECT_EQ(refused.message(), "wrong password for the secret key '" + (dir / "p.key") + "'");
}

TEST_F(Signing, KeyFilesThatAreNoKeys) {
  const std::string pub = read_file(dir / "k.pub");
  std::string damaged_secret = read_file(dir / "k.key");
  // Another base64 letter in the key id: still a key file, its checksum no longer matches. (A flipped
  // bit could turn the letter into something that is no base64, which is another refusal.)
  char& letter = damaged_secret[damaged_secret.find('\n') + 80];
  letter = letter == 'A' ? 'B' : 'A';
  write_file(dir / "damaged.key", damaged_secret);
  write_file(dir / "text.pub", "untrusted comment: x\nnot base64\n");
  SecretKey secret;
  EXPECT_EQ(read_secret_key(dir / "damaged.key", secret).message(),
            "the secret key '" + (dir / "damaged.key") + "' is damaged");
  EXPECT_EQ(read_secret_key(dir / "k.pub", secret).message(),
            "'" + (dir / "k.pub") + "' is not a secret key file");
  PublicKey key;
  EXPECT_EQ(read_public_key(dir / "text.pub", key).message(),
            "'" + (dir / "text.pub") + "' is not a public key file");
  EXPECT_EQ(read_public_key(dir / "k.key", key).message(),
            "'" + (dir / "k.key") + "' is not a public key file");
  EXPECT_EQ(read_public_key("RWQnope", key).message(),
            "'RWQnope' is neither a public key file nor a public key");
}

TEST(SigningText, TrustedCommentLimits) {
  EXPECT_TRUE(check_trusted_comment(std::string(1024, 'c')).is_ok());
  EXPECT_EQ(check_trusted_comment(std::string(1025, 'c')).message(),
            "the trusted comment is 1025 bytes long; a signature carries at most 1024");
  EXPECT_EQ(check_trusted_comment("a\nb").message(),
            "the trusted comment holds a control character");
  setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
  EXPECT_EQ(default_trusted_comment("/some/dir/f.bin"), "timestamp:1700000000 file:f.bin");
  unsetenv("SOURCE_DATE_EPOCH");
}

}  // namespace
