// The identity of a server instance: what a daemon gives each instance it
// starts, so that the instance can tell administrators and fellow servers
// from strangers, and prove to both who it is, without ever holding the
// installation key.
//
// An identity has a certificate, a packed ZQ_TDict naming the instance:
//   {"Name", "Instance" (ZQ_TUInt16), "Host", "Launch" (16 random bytes as
//    hex), "SignKey" (the instance's Ed25519 public key as hex)}
// and three secrets:
//   - the instance key, HMAC-SHA256 of the certificate under the
//     installation key: every holder of the installation key can work it
//     out from the certificate alone, nobody else can;
//   - the instance's Ed25519 secret key, for handshakes with other
//     instances, which do not know its instance key;
//   - (held by the daemon only while issuing) the installation signing key,
//     an Ed25519 key pair derived from the installation key, whose
//     signature over the certificate every party can check with the
//     installation's public signing key, which comes with the identity.
//
// The daemon hands an identity to the instance it starts as a sealed memfd
// on descriptor 3 (ZQM_IDENTITY_FD=3); the runtime reads it once, closes the
// descriptor and removes the variable (zqm_auth.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "typelib/dodived.h"

namespace zqm_identity {

// The largest identity file and certificate accepted.
constexpr std::size_t kMaxIdentityBytes = 4096;
constexpr std::size_t kMaxCertificateBytes = 1024;

struct Certificate {
  std::string name;
  std::uint16_t instance = 0;
  std::string host;
  std::string signKey;  // Ed25519 public key, raw
};

struct Identity {
  std::string certificate;  // packed, exactly as issued
  std::string signature;    // the installation's over the certificate
  std::string instanceKey;  // secret
  std::string signSecret;   // secret: the instance's Ed25519 secret key
  std::string installationPublicKey;
  Certificate named;  // what the certificate says
  ~Identity();
};

// The installation's signing key pair, derived from the installation key.
struct InstallationKeys {
  std::string publicKey;
  std::string secretKey;
};
InstallationKeys DeriveInstallationKeys(std::string_view installationKey);

// The instance key of `certificate` under the installation key.
std::string InstanceKey(std::string_view installationKey, std::string_view certificate);

// A new identity for instance `instance` of `name` on `host`, issued with
// the installation key.
Identity Issue(std::string_view installationKey, const InstallationKeys& keys,
               const std::string& name, std::uint16_t instance, const std::string& host);

// What `certificate` says; throws ZQM_EProtocolError for anything that is
// not a well-formed certificate of at most kMaxCertificateBytes.
Certificate ReadCertificate(std::string_view certificate);

// Whether `signature` is the installation's over `certificate`.
bool SignedByInstallation(std::string_view installationPublicKey, std::string_view certificate,
                          std::string_view signature);

// The identity as the instance receives it, and back. Parse throws
// ZQM_EException saying what is wrong.
std::string Serialize(const Identity& identity);
Identity Parse(std::string_view bytes);

// A sealed memfd holding the serialized identity (close-on-exec; the
// starter dup2()s it to the child's descriptor 3). The caller owns it.
int SealedDescriptor(const Identity& identity);

}  // namespace zqm_identity
