#include "DEVUror/zqm_identity.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DEVUror/zqm_crypto.h"
#include "DEVUror/zqm_exceptions.h"
#include "DEVUror/zqm_file_io.h"
#include "DEVUror/zqm_wire.h"

namespace zqm_identity {

namespace {

constexpr std::size_t kLaunchBytes = 16;
constexpr char kSigningSeedLabel[] = "zqm installation signing key";
constexpr char kInstanceKeyLabel[] = "zqm instance key";
constexpr char kCertificateLabel[] = "zqm certificate";

[[noreturn]] void Fail(const std::string& message) {
  ZQM_EException failure{ZQ_TString(message)};
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

std::string PackCertificate(const std::string& name, std::uint16_t instance,
                            const std::string& host, std::string_view signKey) {
  ZQ_TDict dict;
  dict.Set("Name", ZQ_TAny(ZQ_TString(name)));
  dict.Set("Instance", ZQ_TAny(ZQ_TUInt16(instance)));
  dict.Set("Host", ZQ_TAny(ZQ_TString(host)));
  zqm_wire::SetHex(dict, "Launch", zqm_crypto::Random(kLaunchBytes));
  zqm_wire::SetHex(dict, "SignKey", signKey);
  return ZQ_PackValue(&dict);
}

}  // namespace

Identity::~Identity() {
  zqm_crypto::Wipe(instanceKey);
  zqm_crypto::Wipe(signSecret);
}

InstallationKeys DeriveInstallationKeys(std::string_view installationKey) {
  std::string seed = zqm_crypto::Mac(installationKey, {kSigningSeedLabel});
  zqm_crypto::SignKeys keys = zqm_crypto::SignKeysFromSeed(seed);
  zqm_crypto::Wipe(seed);
  return {std::move(keys.publicKey), std::move(keys.secretKey)};
}

std::string InstanceKey(std::string_view installationKey, std::string_view certificate) {
  return zqm_crypto::Mac(installationKey, {kInstanceKeyLabel, certificate});
}

Identity Issue(std::string_view installationKey, const InstallationKeys& keys,
               const std::string& name, std::uint16_t instance, const std::string& host) {
  zqm_crypto::SignKeys own = zqm_crypto::NewSignKeys();
  Identity identity;
  identity.certificate = PackCertificate(name, instance, host, own.publicKey);
  identity.signature = zqm_crypto::Sign(keys.secretKey, {kCertificateLabel, identity.certificate});
  identity.instanceKey = InstanceKey(installationKey, identity.certificate);
  identity.signSecret = std::move(own.secretKey);
  identity.installationPublicKey = keys.publicKey;
  identity.named = {name, instance, host, std::move(own.publicKey)};
  return identity;
}

Certificate ReadCertificate(std::string_view certificate) {
  constexpr const char* what = "certificate";
  if (certificate.size() > kMaxCertificateBytes) {
    ZQM_EProtocolError tooLong(ZQ_TString::Format("a certificate of %d bytes exceeds %d",
                                                  certificate.size(), kMaxCertificateBytes));
    ZQ_THROW_AT(tooLong, __FILE__, __LINE__);
  }
  const ZQ_TDict dict = zqm_wire::DecodeDict(certificate, what);
  Certificate named;
  named.name = zqm_wire::Entry<ZQ_TString>(dict, "Name", what).Text();
  named.instance = zqm_wire::Entry<ZQ_TUInt16>(dict, "Instance", what);
  named.host = zqm_wire::Entry<ZQ_TString>(dict, "Host", what).Text();
  zqm_wire::HexEntry(dict, "Launch", kLaunchBytes, what);
  named.signKey = zqm_wire::HexEntry(dict, "SignKey", zqm_crypto::kSignPublicBytes, what);
  return named;
}

bool SignedByInstallation(std::string_view installationPublicKey, std::string_view certificate,
                          std::string_view signature) {
  return zqm_crypto::Verify(installationPublicKey, signature, {kCertificateLabel, certificate});
}

std::string Serialize(const Identity& identity) {
  ZQ_TDict dict;
  zqm_wire::SetHex(dict, "Certificate", identity.certificate);
  zqm_wire::SetHex(dict, "Signature", identity.signature);
  zqm_wire::SetHex(dict, "InstanceKey", identity.instanceKey);
  zqm_wire::SetHex(dict, "SignSecret", identity.signSecret);
  zqm_wire::SetHex(dict, "InstallationKey", identity.installationPublicKey);
  return ZQ_PackValue(&dict);
}

Identity Parse(std::string_view bytes) {
  constexpr const char* what = "identity";
  if (bytes.size() > kMaxIdentityBytes) Fail("an identity of more than 4096 bytes");
  const ZQ_TDict dict = zqm_wire::DecodeDict(bytes, what);
  Identity identity;
  identity.certificate = zqm_wire::HexEntryUpTo(dict, "Certificate", kMaxCertificateBytes, what);
  identity.signature = zqm_wire::HexEntry(dict, "Signature", zqm_crypto::kSignatureBytes, what);
  identity.instanceKey = zqm_wire::HexEntry(dict, "InstanceKey", zqm_crypto::kMacBytes, what);
  identity.signSecret = zqm_wire::HexEntry(dict, "SignSecret", zqm_crypto::kSignSecretBytes, what);
  identity.installationPublicKey =
      zqm_wire::HexEntry(dict, "InstallationKey", zqm_crypto::kSignPublicBytes, what);
  identity.named = ReadCertificate(identity.certificate);
  if (!SignedByInstallation(identity.installationPublicKey, identity.certificate,
                            identity.signature)) {
    Fail("the identity's certificate is not signed by the installation key it names");
  }
  return identity;
}

int SealedDescriptor(const Identity& identity) {
  const int fd = memfd_create("zqm-identity", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) Fail(std::string("memfd_create for an identity: ") + std::strerror(errno));
  std::string bytes = Serialize(identity);
  const bool written = zqm_io::WriteAll(fd, bytes);
  zqm_crypto::Wipe(bytes);
  if (!written || lseek(fd, 0, SEEK_SET) != 0 ||
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    const int cause = written ? errno : EIO;
    close(fd);
    Fail(std::string("cannot fill an identity's descriptor: ") + std::strerror(cause));
  }
  return fd;
}

}  // namespace zqm_identity
