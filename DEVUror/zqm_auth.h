// The installation key: one secret shared by every program of a middleware
// installation, with which both ends of every connection prove knowledge of
// it before any call is read (see zqm_wire.h for the handshake).
//
// A key file holds 32 to 1024 random bytes (we write 32). It must be a
// regular file that is neither group- nor world-writable nor world-readable
// (0600 or 0640); anything else is refused, as ssh refuses a private key
// that others can read.
//
// Where a program finds its key, first match wins:
//   1. UseKeyFile (the flag --key PATH) or UseInsecure (the flag --insecure)
//   2. ZQM_INSECURE=1: no key, no handshake
//   3. ZQM_KEY_FILE: the path of a key file
//   4. ZQM_KEY_FD: an inherited descriptor holding the key (see
//      ChildKeyDescriptor); read once with pread from offset 0, then closed,
//      and ZQM_KEY_FD is removed from the environment so that grandchildren
//      do not inherit it
//   5. the default file: /etc/zqm/installation.key for root,
//      $XDG_CONFIG_HOME/zqm/installation.key (default
//      ~/.config/zqm/installation.key) for anyone else
// The key itself never appears in the environment or on a command line.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace zqm_auth {

constexpr std::size_t kKeyBytesWritten = 32;
constexpr std::size_t kMinKeyBytes = 32;
constexpr std::size_t kMaxKeyBytes = 1024;
constexpr std::size_t kNonceBytes = 32;
constexpr std::size_t kProofBytes = 32;  // HMAC-SHA256

// How long a server waits for a new connection's handshake (in insecure
// mode: for its first request) before it closes it. The environment
// variable ZQM_HANDSHAKE_TIMEOUT_MS overrides it (tests use a shorter one).
constexpr unsigned kHandshakeTimeoutMs = 5000;
unsigned HandshakeTimeoutMs();

// What this process authenticates with. `key` is empty exactly when
// `insecure`; `source` says where the key came from, for messages.
struct Credentials {
  bool insecure = false;
  std::string key;
  std::string source;
  ~Credentials();
};

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

// Reads ZQM_KEY_FD now, if set, and removes it from the environment. Called
// by the runtime's initialisation hook, while the process has one thread;
// Current() does it too when the hook was not called.
void TakeInheritedKey();

// Where the key is looked for when nothing names it.
std::string DefaultKeyPath();

// Writes a new key of kKeyBytesWritten random bytes to `path`, mode 0600,
// creating missing parent folders. Refuses (ZQM_EException) an existing file
// or a symbolic link, and says why any step failed.
void CreateKeyFile(const std::string& path);

// For a process that starts children itself (the daemon): a descriptor that
// holds this process's key, for the child to inherit. It is close-on-exec;
// the starter dup2()s it to descriptor 3 of the child, sets ZQM_KEY_FD=3
// there and removes ZQM_KEY_FILE and ZQM_INSECURE from the child's
// environment (both would win over the descriptor); when this returns -1
// (the process runs insecure) it sets ZQM_INSECURE=1 instead. The descriptor is a sealed memfd,
// made at the first call and the same afterwards; it must not be closed. The child reads it with
// pread from offset 0, so the shared file offset does not matter. Throws what Current() throws.
int ChildKeyDescriptor();

// `bytes` fresh random bytes.
std::string RandomBytes(std::size_t bytes);

// The proofs of the handshake, HMAC-SHA256 under the key over a label, the
// server's greeting body exactly as sent, and the client's nonce. The two
// labels differ, so that neither proof can be reflected as the other.
std::string ClientProof(const Credentials& credentials, std::string_view greetingBody,
                        std::string_view clientNonce);
std::string ServerProof(const Credentials& credentials, std::string_view greetingBody,
                        std::string_view clientNonce);
// Compares a received proof with the expected one in constant time.
bool SameProof(const std::string& expected, std::string_view received);

// Hexadecimal text of `bytes` and back; FromHex gives "" for text that is
// not exactly `bytes` bytes of hex.
std::string ToHex(std::string_view bytes);
std::string FromHex(std::string_view text, std::size_t bytes);

}  // namespace zqm_auth
