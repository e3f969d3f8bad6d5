// The few cryptographic operations of the middleware, each one libsodium
// call (or two) behind a name that says what it is for. Nothing here is
// cryptography of our own: HMAC-SHA256 for proofs and derived keys,
// BLAKE2b for transcripts, Ed25519 for signatures, X25519 for key
// agreement, AES-256-GCM or ChaCha20-Poly1305 (IETF) for sealed frames.
//
// Byte strings are std::string holding raw bytes. Every function is safe
// from any thread; failures of libsodium itself throw ZQM_EException.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

namespace zqm_crypto {

constexpr std::size_t kMacBytes = 32;         // HMAC-SHA256
constexpr std::size_t kHashBytes = 32;        // BLAKE2b-256
constexpr std::size_t kSignPublicBytes = 32;  // Ed25519
constexpr std::size_t kSignSecretBytes = 64;
constexpr std::size_t kSignatureBytes = 64;
constexpr std::size_t kAgreePublicBytes = 32;  // X25519
constexpr std::size_t kAgreeSecretBytes = 32;
constexpr std::size_t kSealKeyBytes = 32;  // ChaCha20-Poly1305
constexpr std::size_t kSealTagBytes = 16;

// Makes libsodium usable; called by every function here, cheap after the
// first call.
void Init();

// `bytes` fresh random bytes.
std::string Random(std::size_t bytes);

// HMAC-SHA256 under `key` (any length) over the parts, each preceded by its
// length, so that no two lists of parts give the same input.
std::string Mac(std::string_view key, std::initializer_list<std::string_view> parts);

// BLAKE2b-256 over the parts, each preceded by its length.
std::string Hash(std::initializer_list<std::string_view> parts);

// BLAKE2b-256 keyed with `key` (16 to 64 bytes) over the parts, each
// preceded by its length.
std::string KeyedHash(std::string_view key, std::initializer_list<std::string_view> parts);

// Compares in constant time; false for different lengths.
bool Same(std::string_view a, std::string_view b);

// Overwrites `secret` before it is released.
void Wipe(std::string& secret);

struct SignKeys {
  std::string publicKey;
  std::string secretKey;
};
// An Ed25519 key pair from a 32-byte seed (the same seed, the same pair).
SignKeys SignKeysFromSeed(std::string_view seed);
SignKeys NewSignKeys();
std::string Sign(std::string_view secretKey, std::initializer_list<std::string_view> parts);
bool Verify(std::string_view publicKey, std::string_view signature,
            std::initializer_list<std::string_view> parts);

struct AgreeKeys {
  std::string publicKey;
  std::string secretKey;
};
AgreeKeys NewAgreeKeys();
// The X25519 shared secret; throws for a peer key that gives none (a
// low-order point).
std::string Agree(std::string_view secretKey, std::string_view peerPublicKey);

// The authenticated ciphers of sealed frames: AES-256-GCM where the CPU has
// AES instructions (libsodium's), else ChaCha20-Poly1305 (IETF).
enum class Cipher { kChaCha20Poly1305, kAes256Gcm };
// The best cipher this CPU offers.
Cipher FastestCipher();
const char* CipherName(Cipher cipher);

// One direction's key of a sealed channel, with what the cipher computes
// from it once (AES's expanded key schedule). Seals and opens in place, with
// a 64-bit counter as the nonce, binding associated data; the tag
// (kSealTagBytes) is kept apart from the data.
class SealingKey {
 public:
  SealingKey();
  SealingKey(Cipher cipher, std::string_view key);
  ~SealingKey();
  SealingKey(SealingKey&&) noexcept;
  SealingKey& operator=(SealingKey&&) noexcept;

  bool Empty() const { return key_.empty(); }
  void Seal(std::uint64_t counter, std::string_view associated, char* data, std::size_t size,
            char* tag) const;
  // False when the data was changed, sealed under another key, cipher or
  // counter, or bound to other associated data.
  bool Open(std::uint64_t counter, std::string_view associated, char* data, std::size_t size,
            const char* tag) const;

 private:
  struct AesState;
  Cipher cipher_ = Cipher::kChaCha20Poly1305;
  std::string key_;
  std::unique_ptr<AesState> aes_;
};

}  // namespace zqm_crypto
