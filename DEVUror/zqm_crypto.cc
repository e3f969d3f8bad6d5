#include "DEVUror/zqm_crypto.h"

#include <sodium.h>

#include "DEVUror/zqm_exceptions.h"

namespace zqm_crypto {

namespace {

[[noreturn]] void Fail(const char* what) {
  ZQM_EException failure{ZQ_TString(what)};
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

unsigned char* Bytes(std::string& text) {
  return reinterpret_cast<unsigned char*>(text.data());
}

void LittleEndian64(std::uint64_t value, unsigned char out[8]) {
  for (int i = 0; i < 8; ++i)
    out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Feeds each part preceded by its length as 8 little-endian bytes.
template <class Update>
void Framed(std::initializer_list<std::string_view> parts, Update update) {
  for (const std::string_view part : parts) {
    unsigned char length[8];
    LittleEndian64(part.size(), length);
    update(length, sizeof length);
    update(Bytes(part), part.size());
  }
}

std::string Framed(std::initializer_list<std::string_view> parts) {
  std::string all;
  Framed(parts, [&all](const unsigned char* data, std::size_t size) {
    all.append(reinterpret_cast<const char*>(data), size);
  });
  return all;
}

}  // namespace

void Init() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) Fail("sodium_init failed: the cryptography library cannot be used");
}

std::string Random(std::size_t bytes) {
  Init();
  std::string random(bytes, '\0');
  randombytes_buf(random.data(), random.size());
  return random;
}

std::string Mac(std::string_view key, std::initializer_list<std::string_view> parts) {
  Init();
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, Bytes(key), key.size());
  Framed(parts, [&state](const unsigned char* data, std::size_t size) {
    crypto_auth_hmacsha256_update(&state, data, size);
  });
  std::string mac(kMacBytes, '\0');
  crypto_auth_hmacsha256_final(&state, Bytes(mac));
  sodium_memzero(&state, sizeof state);
  return mac;
}

std::string KeyedHash(std::string_view key, std::initializer_list<std::string_view> parts) {
  Init();
  crypto_generichash_state state;
  crypto_generichash_init(&state, key.empty() ? nullptr : Bytes(key), key.size(), kHashBytes);
  Framed(parts, [&state](const unsigned char* data, std::size_t size) {
    crypto_generichash_update(&state, data, size);
  });
  std::string hash(kHashBytes, '\0');
  crypto_generichash_final(&state, Bytes(hash), hash.size());
  sodium_memzero(&state, sizeof state);
  return hash;
}

std::string Hash(std::initializer_list<std::string_view> parts) {
  return KeyedHash({}, parts);
}

bool Same(std::string_view a, std::string_view b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

void Wipe(std::string& secret) {
  if (!secret.empty()) sodium_memzero(secret.data(), secret.size());
  secret.clear();
}

SignKeys SignKeysFromSeed(std::string_view seed) {
  Init();
  if (seed.size() != crypto_sign_SEEDBYTES) Fail("an Ed25519 seed has 32 bytes");
  SignKeys keys{std::string(kSignPublicBytes, '\0'), std::string(kSignSecretBytes, '\0')};
  crypto_sign_seed_keypair(Bytes(keys.publicKey), Bytes(keys.secretKey), Bytes(seed));
  return keys;
}

SignKeys NewSignKeys() {
  Init();
  SignKeys keys{std::string(kSignPublicBytes, '\0'), std::string(kSignSecretBytes, '\0')};
  crypto_sign_keypair(Bytes(keys.publicKey), Bytes(keys.secretKey));
  return keys;
}

std::string Sign(std::string_view secretKey, std::initializer_list<std::string_view> parts) {
  Init();
  if (secretKey.size() != kSignSecretBytes) Fail("an Ed25519 secret key has 64 bytes");
  const std::string message = Framed(parts);
  std::string signature(kSignatureBytes, '\0');
  crypto_sign_detached(Bytes(signature), nullptr, Bytes(message), message.size(), Bytes(secretKey));
  return signature;
}

bool Verify(std::string_view publicKey, std::string_view signature,
            std::initializer_list<std::string_view> parts) {
  Init();
  if (publicKey.size() != kSignPublicBytes || signature.size() != kSignatureBytes) return false;
  const std::string message = Framed(parts);
  return crypto_sign_verify_detached(Bytes(signature), Bytes(message), message.size(),
                                     Bytes(publicKey)) == 0;
}

AgreeKeys NewAgreeKeys() {
  Init();
  AgreeKeys keys{std::string(kAgreePublicBytes, '\0'), std::string(kAgreeSecretBytes, '\0')};
  crypto_box_keypair(Bytes(keys.publicKey), Bytes(keys.secretKey));
  return keys;
}

std::string Agree(std::string_view secretKey, std::string_view peerPublicKey) {
  Init();
  if (secretKey.size() != kAgreeSecretBytes || peerPublicKey.size() != kAgreePublicBytes) {
    Fail("an X25519 key has 32 bytes");
  }
  std::string shared(crypto_scalarmult_BYTES, '\0');
  if (crypto_scalarmult(Bytes(shared), Bytes(secretKey), Bytes(peerPublicKey)) != 0) {
    Fail("the peer's key agreement key gives no shared secret");
  }
  return shared;
}

namespace {

// Both ciphers take a 96-bit nonce: the counter, little-endian, then zeros.
void CounterNonce(std::uint64_t counter, unsigned char nonce[12]) {
  static_assert(crypto_aead_chacha20poly1305_IETF_NPUBBYTES == 12);
  static_assert(crypto_aead_aes256gcm_NPUBBYTES == 12);
  sodium_memzero(nonce, 12);
  LittleEndian64(counter, nonce);
}

}  // namespace

Cipher FastestCipher() {
  Init();
  return crypto_aead_aes256gcm_is_available() ? Cipher::kAes256Gcm : Cipher::kChaCha20Poly1305;
}

const char* CipherName(Cipher cipher) {
  return cipher == Cipher::kAes256Gcm ? "aes256gcm" : "chacha20poly1305";
}

struct SealingKey::AesState {
  crypto_aead_aes256gcm_state state;
};

SealingKey::SealingKey(Cipher cipher, std::string_view key) : cipher_(cipher), key_(key) {
  if (key.size() != kSealKeyBytes) Fail("a sealing key has 32 bytes");
  if (cipher_ == Cipher::kAes256Gcm) {
    aes_ = std::make_unique<AesState>();
    crypto_aead_aes256gcm_beforenm(&aes_->state, Bytes(key_));
  }
}

SealingKey::SealingKey() = default;
SealingKey::SealingKey(SealingKey&&) noexcept = default;
SealingKey& SealingKey::operator=(SealingKey&&) noexcept = default;

SealingKey::~SealingKey() {
  Wipe(key_);
  if (aes_) sodium_memzero(&aes_->state, sizeof aes_->state);
}

void SealingKey::Seal(std::uint64_t counter, std::string_view associated, char* data,
                      std::size_t size, char* tag) const {
  unsigned char nonce[12];
  CounterNonce(counter, nonce);
  auto* bytes = reinterpret_cast<unsigned char*>(data);
  auto* mac = reinterpret_cast<unsigned char*>(tag);
  if (aes_) {
    crypto_aead_aes256gcm_encrypt_detached_afternm(bytes, mac, nullptr, bytes, size,
                                                   Bytes(associated), associated.size(), nullptr,
                                                   nonce, &aes_->state);
  } else {
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(bytes, mac, nullptr, bytes, size,
                                                       Bytes(associated), associated.size(),
                                                       nullptr, nonce, Bytes(key_));
  }
}

bool SealingKey::Open(std::uint64_t counter, std::string_view associated, char* data,
                      std::size_t size, const char* tag) const {
  if (key_.empty()) return false;
  unsigned char nonce[12];
  CounterNonce(counter, nonce);
  auto* bytes = reinterpret_cast<unsigned char*>(data);
  const auto* mac = reinterpret_cast<const unsigned char*>(tag);
  if (aes_) {
    return crypto_aead_aes256gcm_decrypt_detached_afternm(bytes, nullptr, bytes, size, mac,
                                                          Bytes(associated), associated.size(),
                                                          nonce, &aes_->state) == 0;
  }
  return crypto_aead_chacha20poly1305_ietf_decrypt_detached(bytes, nullptr, bytes, size, mac,
                                                            Bytes(associated), associated.size(),
                                                            nonce, Bytes(key_)) == 0;
}

}  // namespace zqm_crypto
