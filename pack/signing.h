#ifndef PACK_SIGNING_H_
#define PACK_SIGNING_H_

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "pack/status.h"
#include "payload/signature_block.h"

// Keys and signatures in minisign's formats (Ed25519, signatures over the BLAKE2b-512 of the
// data), made and checked with libsodium. A distributable file is signed by a signature block
// after its trailer (payload/signature_block.h), or by a detached FILE.minisig.

/// Exit statuses of `sfx_pack verify --key` besides 0 (good), 1 and 2.
constexpr int EXIT_PACK_NOT_SIGNED = 3;
constexpr int EXIT_PACK_WRONG_KEY = 4;
constexpr int EXIT_PACK_BAD_SIGNATURE = 5;

/// The environment variable that gives a secret key's password instead of a prompt.
constexpr char SIGN_PASSWORD_VARIABLE[] = "SFX_SIGN_PASSWORD";

struct PublicKey {
  std::array<unsigned char, SignatureBlock::KEY_ID_SIZE> key_id{};
  std::array<unsigned char, 32> key{};
};

/// A secret key in memory; wiped when it goes.
struct SecretKey {
  SecretKey() = default;
  ~SecretKey();
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;
  std::array<unsigned char, SignatureBlock::KEY_ID_SIZE> key_id{};
  std::array<unsigned char, 64> key{};
};

/// Reads a public key: `given` names a key file (two lines, as minisign -G writes it) or, when
/// no such file exists, is the key's base64 line itself. Returns an input fault for a file
/// that cannot be read or a key that is not an Ed25519 key of that format.
Status read_public_key(const std::string& given, PublicKey& key);

/// Reads the secret key file `path`; an encrypted one is opened with the password from
/// SFX_SIGN_PASSWORD or, when that is not set, from a prompt on the terminal. Returns an input
/// fault for a file that cannot be read, is not a key, or a wrong password; a usage error when
/// a password is needed and there is neither the variable nor a terminal.
Status read_secret_key(const std::string& path, SecretKey& key);

/// The cost of deriving a key from a password (scrypt's opslimit and memlimit, as the key file
/// stores them); the default is what minisign uses.
struct PasswordCost {
  std::uint64_t operations = 33554432;
  std::uint64_t memory = 1073741824;
};

/// Writes a new key pair: BASE.key (mode 0600) and BASE.pub. With `with_password`, the secret
/// key is encrypted with a password from SFX_SIGN_PASSWORD or asked twice on the terminal, at
/// `cost`. Neither file may exist. Sets `key_id` to the new key's id as shown.
Status generate_keys(const std::string& base, bool with_password, std::string& key_id,
                     const PasswordCost& cost = {});

/// The trusted comment used when none is given: "timestamp:SECONDS file:NAME", NAME being the
/// base name of `path`, SECONDS the time now or SOURCE_DATE_EPOCH when that is set.
std::string default_trusted_comment(const std::string& path);

/// A usage error for a trusted comment the block cannot carry: longer than 1024 bytes, or
/// holding a control character.
Status check_trusted_comment(const std::string& comment);

/// Appends a signature block to the file being written through `stream` (open on a descriptor
/// that can be read too), covering every byte written so far. Returns an input fault for a
/// failed read or write, naming `name`.
Status append_signature(std::FILE* stream, const std::string& name, const SecretKey& key,
                        const std::string& trusted_comment);

/// Signs the distributable file `path`: with `detached`, writes PATH.minisig over the whole
/// file; otherwise replaces the file, atomically and with its mode kept, by its bytes before
/// any signature block followed by a new block. Returns an input fault for a file that is not
/// a distributable file or cannot be read or written.
Status sign_file(const std::string& path, const SecretKey& key, const std::string& trusted_comment,
                 bool detached);

/// What check_signature found.
struct SignatureReport {
  SignatureBlockStatus block = SignatureBlockStatus::kNone;
  std::string key_id;           ///< The block's key id, as shown.
  std::string trusted_comment;  ///< The block's trusted comment.
};

/// Finds the signature block of `path` and, when `key` is given, checks it. Returns ok with
/// `report` filled for a good signature (or, without a key, for any block or none); otherwise
/// the one line to print, with EXIT_PACK_NOT_SIGNED (no block), EXIT_PACK_WRONG_KEY (made by
/// another key) or EXIT_PACK_BAD_SIGNATURE (a damaged block, or a byte changed before it or in
/// the trusted comment), or an input fault for a file that cannot be read.
Status check_signature(const std::string& path, const PublicKey* key, SignatureReport& report);

#endif  // PACK_SIGNING_H_
