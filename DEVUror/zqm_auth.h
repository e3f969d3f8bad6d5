// What a program proves itself with: the installation key, a server
// instance's identity, or nothing (insecure).
//
// The installation key is one secret shared by the daemons and the
// administrators of an installation (the programs an administrator runs:
// zqm, almanac, custodel). Servers that a daemon starts never get it: each
// gets an identity of its own instead (zqm_identity.h), which makes it a
// server and nothing more to every other party.
//
// A key file holds 32 to 1024 random bytes (we write 32). It must be a
// regular file, owned by the program's user or root, that is neither group-
// nor world-writable nor world-readable (0600 or 0640); anything else is
// refused, as ssh refuses a private key that others can read.
//
// Where a program finds what it proves itself with, first match wins:
//   1. UseKeyFile (the flag --key PATH) or UseInsecure (the flag --insecure)
//   2. ZQM_INSECURE=1: no key, no handshake
//   3. ZQM_KEY_FILE: the path of a key file
//   4. ZQM_IDENTITY_FD: an inherited descriptor holding the identity its
//      daemon issued; read once from offset 0, then closed, and the variable
//      is removed from the environment so that children do not inherit it
//   5. ZQM_KEY_FD: an inherited descriptor holding the key (a pipe, or a
//      file no other user may read), taken the same way
//   6. the default file: /etc/zqm/installation.key for root,
//      $XDG_CONFIG_HOME/zqm/installation.key (default
//      ~/.config/zqm/installation.key) for anyone else
// The key itself never appears in the environment or on a command line.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "DEVUror/zqm_identity.h"

namespace zqm_auth {

constexpr std::size_t kKeyBytesWritten = 32;
constexpr std::size_t kMinKeyBytes = 32;
constexpr std::size_t kMaxKeyBytes = 1024;
constexpr std::size_t kNonceBytes = 32;

// How long a server waits for a new connection's handshake (in insecure
// mode: for its first request) before it closes it. The environment
// variable ZQM_HANDSHAKE_TIMEOUT_MS overrides it (tests use a shorter one).
constexpr unsigned kHandshakeTimeoutMs = 2000;
unsigned HandshakeTimeoutMs();

// What this process authenticates with: exactly one of `insecure`, `key`
// (an administrator's or a daemon's) and `identity` (a server instance's).
// `source` says where it came from, for messages.
struct Credentials {
  bool insecure = false;
  std::string key;
  std::optional<zqm_identity::Identity> identity;
  // The installation's public signing key: derived from the key, or given
  // with the identity; and, with the key only, its secret half.
  std::string installationPublicKey;
  std::string installationSecretKey;
  std::string source;
  bool HoldsKey() const { return !key.empty(); }
  ~Credentials();
};

// Credentials made from a key held in memory (tests, and a daemon's
// issuing). Throws for a key of the wrong length.
std::shared_ptr<const Credentials> FromKey(std::string key, std::string source);

// The flag --key PATH: the key comes from this file from now on.
void UseKeyFile(const std::string& path);
// The flag --insecure: no key and no handshake from now on.
void UseInsecure();

// Drops the loaded credentials: the next Current() looks again, e.g. after
// the environment has changed.
void Forget();

// This process's credentials, loaded at the first call and kept (until
// UseKeyFile or UseInsecure). Throws ZQM_EException when there is no key,
// saying how to make one, or when the key file is unusable, saying why.
// Safe from any thread.
std::shared_ptr<const Credentials> Current();

// Reads ZQM_IDENTITY_FD and ZQM_KEY_FD now, if set, and removes them from
// the environment. Called
// by the runtime's initialisation hook, while the process has one thread;
// Current() does it too when the hook was not called.
void TakeInheritedKey();

// Where the key is looked for when nothing names it.
std::string DefaultKeyPath();

// Writes a new key of kKeyBytesWritten random bytes to `path`, mode 0600,
// creating missing parent folders. Refuses (ZQM_EException) an existing file
// or a symbolic link, and says why any step failed.
void CreateKeyFile(const std::string& path);

// `bytes` fresh random bytes.
std::string RandomBytes(std::size_t bytes);

// Hexadecimal text of `bytes` and back; FromHex gives "" for text that is
// not exactly `bytes` bytes of hex.
std::string ToHex(std::string_view bytes);
std::string FromHex(std::string_view text, std::size_t bytes);

}  // namespace zqm_auth
