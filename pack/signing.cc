#include "pack/signing.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

#include "pack/output_file.h"
#include "payload/trailer.h"

namespace {

constexpr char kEd25519[] = "Ed";  // The algorithm of keys.
constexpr char kPrehashed[] = "ED";
constexpr char kScrypt[] = "Sc";
constexpr char kBlake2b[] = "B2";
constexpr std::size_t kPublicKeySize = 2 + SignatureBlock::KEY_ID_SIZE + 32;
// Algorithm, KDF, checksum algorithm, salt, opslimit, memlimit, then the 104 bytes that the
// password protects: key id, secret key, checksum.
constexpr std::size_t kSaltAt = 6;
constexpr std::size_t kOpsLimitAt = kSaltAt + 32;
constexpr std::size_t kMemLimitAt = kOpsLimitAt + 8;
constexpr std::size_t kProtectedAt = kMemLimitAt + 8;
constexpr std::size_t kProtectedSize = SignatureBlock::KEY_ID_SIZE + 64 + 32;
constexpr std::size_t kSecretKeySize = kProtectedAt + kProtectedSize;
constexpr std::size_t kKeyFileMax = 4096;
constexpr std::size_t kHashBufferSize = 1024 * 1024;
constexpr std::size_t kPasswordMax = 1024;
static_assert(PasswordCost{}.operations == crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE);
static_assert(PasswordCost{}.memory == crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE);

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A text wiped when it goes: passwords and decoded secret keys.
struct Secret {
  std::string text;
  ~Secret() {
    if (!text.empty()) sodium_memzero(text.data(), text.size());
  }
};

Status start_sodium() {
  if (sodium_init() < 0) return Status::input_fault("the signing library cannot start");
  return Status::ok();
}

std::uint64_t read_le64(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void write_le64(unsigned char* bytes, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Reads a small text file whole.
Status read_small_file(const std::string& path, std::string& text) {
  const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info;
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0) {
    return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
  }
  if (!S_ISREG(info.st_mode)) return Status::input_fault(quoted(path) + " is not a file");
  text.assign(kKeyFileMax + 1, '\0');
  std::size_t done = 0;
  for (;;) {
    const ssize_t n = read(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
    if (n == 0 || done + static_cast<std::size_t>(n) == text.size()) {
      done += static_cast<std::size_t>(n);
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (done > kKeyFileMax) return Status::input_fault(quoted(path) + " is too long for a key file");
  text.resize(done);
  return Status::ok();
}

// The second line of a key file (the first being its untrusted comment), without "\r".
bool key_line(const std::string& text, std::string& line) {
  if (text.rfind("untrusted comment:", 0) != 0) return false;
  const std::size_t start = text.find('\n');
  if (start == std::string::npos) return false;
  std::size_t end = text.find('\n', start + 1);
  if (end == std::string::npos) end = text.size();
  line = text.substr(start + 1, end - start - 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

bool decode_public_key(const std::string& line, PublicKey& key) {
  std::string bytes;
  if (!base64_decode(line, bytes) || bytes.size() != kPublicKeySize ||
      bytes.compare(0, 2, kEd25519) != 0) {
    return false;
  }
  std::memcpy(key.key_id.data(), bytes.data() + 2, key.key_id.size());
  std::memcpy(key.key.data(), bytes.data() + 2 + key.key_id.size(), key.key.size());
  return true;
}

// Reads a password from the terminal with echo off; asks twice when `confirm`.
Status prompt_password(bool confirm, Secret& password) {
  const Fd tty(open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (tty.get() < 0) {
    return Status::usage(std::string("the secret key needs a password: set ") +
                         SIGN_PASSWORD_VARIABLE + " or run on a terminal");
  }
  auto ask = [&tty](const char* prompt, Secret& answer) {
    termios saved;
    const bool is_terminal = tcgetattr(tty.get(), &saved) == 0;
    if (is_terminal) {
      termios quiet = saved;
      quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
      tcsetattr(tty.get(), TCSAFLUSH, &quiet);
    }
    ssize_t ignored = write(tty.get(), prompt, std::strlen(prompt));
    char c = 0;
    answer.text.clear();
    while (read(tty.get(), &c, 1) == 1 && c != '\n' && answer.text.size() < kPasswordMax) {
      answer.text += c;
    }
    c = 0;
    if (is_terminal) tcsetattr(tty.get(), TCSAFLUSH, &saved);
    ignored = write(tty.get(), "\n", 1);
    (void)ignored;
  };
  ask("Password: ", password);
  if (confirm) {
    Secret again;
    ask("Password (again): ", again);
    if (again.text != password.text) return Status::usage("the two passwords differ");
  }
  if (password.text.empty()) return Status::usage("the password is empty");
  return Status::ok();
}

Status get_password(bool confirm, Secret& password) {
  const char* given = std::getenv(SIGN_PASSWORD_VARIABLE);
  if (given != nullptr && *given != '\0') {
    password.text = given;
    return Status::ok();
  }
  return prompt_password(confirm, password);
}

// The checksum of a secret key: BLAKE2b-256 of the algorithm, key id and secret key.
void key_checksum(const unsigned char* key_id, const unsigned char* secret, unsigned char* out) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, 32);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(kEd25519), 2);
  crypto_generichash_update(&state, key_id, SignatureBlock::KEY_ID_SIZE);
  crypto_generichash_update(&state, secret, 64);
  crypto_generichash_final(&state, out, 32);
}

// XORs the protected bytes of a secret key with the stream scrypt derives from `password`.
Status apply_password(unsigned char* key_bytes, const Secret& password) {
  Secret stream;
  stream.text.assign(kProtectedSize, '\0');
  const std::uint64_t ops = read_le64(key_bytes + kOpsLimitAt);
  const std::uint64_t mem = read_le64(key_bytes + kMemLimitAt);
  if (crypto_pwhash_scryptsalsa208sha256(reinterpret_cast<unsigned char*>(stream.text.data()),
                                         kProtectedSize, password.text.data(), password.text.size(),
                                         key_bytes + kSaltAt, static_cast<unsigned long long>(ops),
                                         static_cast<std::size_t>(mem)) != 0) {
    return Status::input_fault("cannot derive the key from the password (out of memory?)");
  }
  for (std::size_t i = 0; i < kProtectedSize; ++i) {
    key_bytes[kProtectedAt + i] ^= static_cast<unsigned char>(stream.text[i]);
  }
  return Status::ok();
}

// BLAKE2b-512 of the first `length` bytes of `fd`, read with pread.
Status hash_prefix(int fd, std::uint64_t length, const std::string& name, unsigned char* hash) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
  std::string buffer(kHashBufferSize, '\0');
  std::uint64_t done = 0;
  while (done < length) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
    const ssize_t n = pread(fd, buffer.data(), want, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      return Status::input_fault("cannot read " + quoted(name) + ": " +
                                 (n < 0 ? error_text(errno) : std::string("it got shorter")));
    }
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(buffer.data()),
                              static_cast<std::size_t>(n));
    done += static_cast<std::uint64_t>(n);
  }
  crypto_generichash_final(&state, hash, crypto_generichash_BYTES_MAX);
  return Status::ok();
}

// The four lines of a signature of the data whose BLAKE2b-512 is `hash`.
std::string signature_lines(const SecretKey& key, const unsigned char* hash,
                            const std::string& trusted_comment) {
  std::string line(kPrehashed);
  line.append(reinterpret_cast<const char*>(key.key_id.data()), key.key_id.size());
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, hash, crypto_generichash_BYTES_MAX, key.key.data());
  line.append(reinterpret_cast<const char*>(signature), sizeof signature);
  std::string global_input(reinterpret_cast<const char*>(signature), sizeof signature);
  global_input += trusted_comment;
  unsigned char global[crypto_sign_BYTES];
  crypto_sign_detached(global, nullptr, reinterpret_cast<const unsigned char*>(global_input.data()),
                       global_input.size(), key.key.data());
  return encode_signature_lines(
      line, trusted_comment,
      std::string_view(reinterpret_cast<const char*>(global), sizeof global));
}

Status write_all(std::FILE* stream, const std::string& text, const std::string& name) {
  if (std::fwrite(text.data(), 1, text.size(), stream) != text.size()) {
    return Status::input_fault("cannot write " + quoted(name) + ": " + error_text(errno));
  }
  return Status::ok();
}

// Creates `path` exclusively, without following a link, and writes `text` to it.
Status write_new_file(const std::string& path, const std::string& text, mode_t mode) {
  const Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (fd.get() < 0) {
    return Status::input_fault("cannot create " + quoted(path) + ": " + error_text(errno));
  }
  if (fchmod(fd.get(), mode) != 0 ||
      write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
      fsync(fd.get()) != 0) {
    const int error_number = errno;
    unlink(path.c_str());
    return Status::input_fault("cannot write " + quoted(path) + ": " + error_text(error_number));
  }
  return Status::ok();
}

std::string base_name(const std::string& path) {
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

SecretKey::~SecretKey() { sodium_memzero(key.data(), key.size()); }

Status read_public_key(const std::string& given, PublicKey& key) {
  Status status = start_sodium();
  if (!status.is_ok()) return status;
  struct stat info;
  if (stat(given.c_str(), &info) != 0 && errno == ENOENT) {
    if (decode_public_key(given, key)) return Status::ok();
    return Status::input_fault(quoted(given) + " is neither a public key file nor a public key");
  }
  std::string text;
  status = read_small_file(given, text);
  if (!status.is_ok()) return status;
  std::string line;
  if (!key_line(text, line) || !decode_public_key(line, key)) {
    return Status::input_fault(quoted(given) + " is not a public key file");
  }
  return Status::ok();
}

Status read_secret_key(const std::string& path, SecretKey& key) {
  Status status = start_sodium();
  if (!status.is_ok()) return status;
  Secret text;
  status = read_small_file(path, text.text);
  if (!status.is_ok()) return status;
  Secret line;
  Secret bytes;
  if (!key_line(text.text, line.text) || !base64_decode(line.text, bytes.text) ||
      bytes.text.size() != kSecretKeySize || bytes.text.compare(0, 2, kEd25519) != 0 ||
      bytes.text.compare(4, 2, kBlake2b) != 0) {
    return Status::input_fault(quoted(path) + " is not a secret key file");
  }
  auto* raw = reinterpret_cast<unsigned char*>(bytes.text.data());
  const bool encrypted = bytes.text.compare(2, 2, kScrypt) == 0;
  if (!encrypted && (raw[2] != 0 || raw[3] != 0)) {
    return Status::input_fault(quoted(path) + " is protected in a way this sfx_pack does not know");
  }
  if (encrypted) {
    Secret password;
    status = get_password(false, password);
    if (status.is_ok()) status = apply_password(raw, password);
    if (!status.is_ok()) return status;
  }
  const unsigned char* key_id = raw + kProtectedAt;
  const unsigned char* secret = key_id + SignatureBlock::KEY_ID_SIZE;
  const unsigned char* stored = secret + 64;
  unsigned char checksum[32];
  key_checksum(key_id, secret, checksum);
  static const unsigned char kZero[32] = {};
  // A key made without a password may carry no checksum (zeros) instead of one.
  const bool sound = sodium_memcmp(checksum, stored, sizeof checksum) == 0 ||
                     (!encrypted && sodium_memcmp(kZero, stored, sizeof kZero) == 0);
  sodium_memzero(checksum, sizeof checksum);
  if (!sound) {
    return Status::input_fault(encrypted ? "wrong password for the secret key " + quoted(path)
                                         : "the secret key " + quoted(path) + " is damaged");
  }
  std::memcpy(key.key_id.data(), key_id, key.key_id.size());
  std::memcpy(key.key.data(), secret, key.key.size());
  return Status::ok();
}

Status generate_keys(const std::string& base, bool with_password, std::string& key_id,
                     const PasswordCost& cost) {
  Status status = start_sodium();
  if (!status.is_ok()) return status;
  const std::string secret_path = base + ".key";
  const std::string public_path = base + ".pub";
  for (const std::string& path : {secret_path, public_path}) {
    struct stat info;
    if (lstat(path.c_str(), &info) == 0) {
      return Status::usage("the key file " + quoted(path) +
                           " exists; sfx_pack keygen replaces none");
    }
  }
  Secret password;
  if (with_password) {
    status = get_password(true, password);
    if (!status.is_ok()) return status;
  }
  Secret bytes;
  bytes.text.assign(kSecretKeySize, '\0');
  auto* raw = reinterpret_cast<unsigned char*>(bytes.text.data());
  std::memcpy(raw, kEd25519, 2);
  std::memcpy(raw + 4, kBlake2b, 2);
  unsigned char* id = raw + kProtectedAt;
  unsigned char* secret = id + SignatureBlock::KEY_ID_SIZE;
  unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
  randombytes_buf(id, SignatureBlock::KEY_ID_SIZE);
  crypto_sign_keypair(public_key, secret);
  key_checksum(id, secret, secret + 64);
  std::string public_bytes(kEd25519);
  public_bytes.append(reinterpret_cast<const char*>(id), SignatureBlock::KEY_ID_SIZE);
  public_bytes.append(reinterpret_cast<const char*>(public_key), sizeof public_key);
  key_id = key_id_text(id);
  if (with_password) {
    std::memcpy(raw + 2, kScrypt, 2);
    randombytes_buf(raw + kSaltAt, 32);
    write_le64(raw + kOpsLimitAt, cost.operations);
    write_le64(raw + kMemLimitAt, cost.memory);
    status = apply_password(raw, password);
    if (!status.is_ok()) return status;
  }
  Secret secret_text;
  secret_text.text = std::string("untrusted comment: sfx_pack ") +
                     (with_password ? "encrypted " : "") + "secret key\n" +
                     base64_encode(bytes.text) + "\n";
  const std::string public_text = "untrusted comment: sfx_pack public key " + key_id + "\n" +
                                  base64_encode(public_bytes) + "\n";
  status = write_new_file(secret_path, secret_text.text, 0600);
  if (!status.is_ok()) return status;
  status = write_new_file(public_path, public_text, 0644);
  if (!status.is_ok()) unlink(secret_path.c_str());  // No secret key without its public one.
  return status;
}

std::string default_trusted_comment(const std::string& path) {
  long long seconds = static_cast<long long>(std::time(nullptr));
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && *epoch != '\0') {
    char* end = nullptr;
    const long long value = std::strtoll(epoch, &end, 10);
    if (*end == '\0' && value >= 0) seconds = value;
  }
  return "timestamp:" + std::to_string(seconds) + " file:" + escaped(base_name(path));
}

Status check_trusted_comment(const std::string& comment) {
  if (comment.size() > static_cast<std::size_t>(SignatureBlock::MAX_TRUSTED_COMMENT)) {
    return Status::usage("the trusted comment is " + std::to_string(comment.size()) +
                         " bytes long; a signature carries at most " +
                         std::to_string(SignatureBlock::MAX_TRUSTED_COMMENT));
  }
  for (const char c : comment) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return Status::usage("the trusted comment holds a control character");
    }
  }
  return Status::ok();
}

Status append_signature(std::FILE* stream, const std::string& name, const SecretKey& key,
                        const std::string& trusted_comment) {
  if (std::fflush(stream) != 0) {
    return Status::input_fault("cannot write " + quoted(name) + ": " + error_text(errno));
  }
  const off_t length = ftello(stream);
  if (length < 0) {
    return Status::input_fault("cannot write " + quoted(name) + ": " + error_text(errno));
  }
  unsigned char hash[crypto_generichash_BYTES_MAX];
  const Status status = hash_prefix(fileno(stream), static_cast<std::uint64_t>(length), name, hash);
  if (!status.is_ok()) return status;
  return write_all(stream, encode_signature_block(signature_lines(key, hash, trusted_comment)),
                   name);
}

Status sign_file(const std::string& path, const SecretKey& key, const std::string& trusted_comment,
                 bool detached) {
  Status status = start_sodium();
  if (!status.is_ok()) return status;
  // The file itself, never what a link leads to: it is replaced under its name.
  const int opened = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (opened < 0 && errno == ELOOP) {
    return Status::input_fault(quoted(path) + " is a symbolic link; sign the file it leads to");
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(opened >= 0 ? fdopen(opened, "rb") : nullptr,
                                                       &std::fclose);
  if (opened >= 0 && !file) close(opened);
  struct stat info;
  if (!file || fstat(fileno(file.get()), &info) != 0) {
    return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
  }
  if (!S_ISREG(info.st_mode)) return Status::input_fault(quoted(path) + " is not a file");
  TrailerInfo trailer;
  if (read_trailer(file.get(), trailer) != TrailerStatus::kOk) {
    return Status::input_fault(quoted(path) +
                               " has no valid trailer: it is not a distributable file");
  }
  const int fd = fileno(file.get());
  const std::uint64_t length = static_cast<std::uint64_t>(info.st_size);
  SignatureBlockInfo block;
  if (find_trailing_signature(fd, trailer, block) != 0) {
    return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
  }
  // A detached signature covers the file as it is; an embedded one what precedes the block it
  // replaces.
  std::uint64_t signed_length = length;
  if (!detached && block.status == SignatureBlockStatus::kFound) signed_length = block.offset;
  if (!detached && block.status == SignatureBlockStatus::kMalformed) {
    signed_length = std::max(block.offset, trailer.logical_end);  // Never into the trailer.
  }
  unsigned char hash[crypto_generichash_BYTES_MAX];
  status = hash_prefix(fd, signed_length, path, hash);
  if (!status.is_ok()) return status;
  const std::string lines = signature_lines(key, hash, trusted_comment);
  OutputFile output;
  if (detached) {
    const std::string signature_path = path + ".minisig";
    status = output.open(signature_path);
    if (status.is_ok()) status = write_all(output.stream(), lines, signature_path);
    return status.is_ok() ? output.commit(0644) : status;
  }
  status = output.open(path);
  std::string buffer(kHashBufferSize, '\0');
  for (std::uint64_t done = 0; status.is_ok() && done < signed_length;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), signed_length - done));
    const ssize_t n = pread(fd, buffer.data(), want, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
    buffer.resize(static_cast<std::size_t>(n));
    status = write_all(output.stream(), buffer, path);
    buffer.resize(kHashBufferSize);
    done += static_cast<std::uint64_t>(n);
  }
  if (status.is_ok()) status = write_all(output.stream(), encode_signature_block(lines), path);
  // What was copied must be what was hashed.
  struct stat after;
  if (status.is_ok() && (fstat(fd, &after) != 0 || after.st_size != info.st_size ||
                         after.st_mtim.tv_sec != info.st_mtim.tv_sec ||
                         after.st_mtim.tv_nsec != info.st_mtim.tv_nsec)) {
    status = Status::input_fault(quoted(path) + " changed while it was being signed");
  }
  return status.is_ok() ? output.commit(info.st_mode & 07777) : status;
}

Status check_signature(const std::string& path, const PublicKey* key, SignatureReport& report) {
  report = SignatureReport{};
  Status status = start_sodium();
  if (!status.is_ok()) return status;
  const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info;
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0) {
    return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
  }
  if (!S_ISREG(info.st_mode)) return Status::input_fault(quoted(path) + " is not a file");
  SignatureBlockInfo block;
  if (find_signature_block(fd.get(), static_cast<std::uint64_t>(info.st_size), block) != 0) {
    return Status::input_fault("cannot read " + quoted(path) + ": " + error_text(errno));
  }
  report.block = block.status;
  if (block.status == SignatureBlockStatus::kFound) {
    report.key_id = key_id_text(block.key_id.data());
    report.trusted_comment = block.trusted_comment;
  }
  if (key == nullptr) return Status::ok();
  if (block.status == SignatureBlockStatus::kNone) {
    return Status::failure(EXIT_PACK_NOT_SIGNED, quoted(path) + " is not signed");
  }
  if (block.status == SignatureBlockStatus::kMalformed) {
    return Status::failure(
        EXIT_PACK_BAD_SIGNATURE,
        quoted(path) + ": bad signature: its signature block is damaged: " + block.problem);
  }
  if (block.key_id != key->key_id) {
    return Status::failure(EXIT_PACK_WRONG_KEY, quoted(path) + " is signed by key id " +
                                                    report.key_id + ", not by the given key " +
                                                    key_id_text(key->key_id.data()));
  }
  unsigned char hash[crypto_generichash_BYTES_MAX];
  status = hash_prefix(fd.get(), block.offset, path, hash);
  if (!status.is_ok()) return status;
  if (crypto_sign_verify_detached(block.signature.data(), hash, sizeof hash, key->key.data()) !=
      0) {
    return Status::failure(EXIT_PACK_BAD_SIGNATURE,
                           quoted(path) +
                               ": bad signature: the file was changed after it was "
                               "signed (key id " +
                               report.key_id + ")");
  }
  std::string global_input(reinterpret_cast<const char*>(block.signature.data()),
                           block.signature.size());
  global_input += block.trusted_comment;
  if (crypto_sign_verify_detached(block.global_signature.data(),
                                  reinterpret_cast<const unsigned char*>(global_input.data()),
                                  global_input.size(), key->key.data()) != 0) {
    return Status::failure(EXIT_PACK_BAD_SIGNATURE,
                           quoted(path) +
                               ": bad signature: its trusted comment was changed "
                               "(key id " +
                               report.key_id + ")");
  }
  return Status::ok();
}
