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

void CounterNonce(std::uint64_t counter,
                  unsigned char nonce[crypto_aead_chacha20poly1305_IETF_NPUBBYTES]) {
  sodium_memzero(nonce, crypto_aead_chacha20poly1305_IETF_NPUBBYTES);
  LittleEndian64(counter, nonce);
}

}  // namespace

std::string Seal(std::string_view key, std::uint64_t counter, std::string_view associated,
                 std::string_view plain) {
  if (key.size() != kSealKeyBytes) Fail("a sealing key has 32 bytes");
  unsigned char nonce[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
  CounterNonce(counter, nonce);
  std::string sealed(plain.size() + kSealTagBytes, '\0');
  unsigned long long length = 0;
  crypto_aead_chacha20poly1305_ietf_encrypt(Bytes(sealed), &length, Bytes(plain), plain.size(),
                                            Bytes(associated), associated.size(), nullptr, nonce,
                                            Bytes(key));
  sealed.resize(length);
  return sealed;
}

bool Open(std::string_view key, std::uint64_t counter, std::string_view associated,
          std::string_view sealed, std::string& plain) {
  if (key.size() != kSealKeyBytes || sealed.size() < kSealTagBytes) return false;
  unsigned char nonce[crypto_aead_chacha20poly1305_IETF_NPUBBYTES];
  CounterNonce(counter, nonce);
  plain.resize(sealed.size() - kSealTagBytes);
  unsigned long long length = 0;
  if (crypto_aead_chacha20poly1305_ietf_decrypt(Bytes(plain), &length, nullptr, Bytes(sealed),
                                                sealed.size(), Bytes(associated), associated.size(),
                                                nonce, Bytes(key)) != 0) {
    plain.clear();
    return false;
  }
  plain.resize(length);
  return true;
}

}  // namespace zqm_crypto
