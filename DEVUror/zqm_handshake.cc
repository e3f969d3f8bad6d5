#include "DEVUror/zqm_handshake.h"

#include <unistd.h>

#include "DEVUror/zqm_identity.h"

namespace zqm_handshake {

namespace {

constexpr char kTranscriptLabel[] = "zqm handshake 3";
constexpr char kClientLabel[] = "client";
constexpr char kServerLabel[] = "server";
constexpr char kClientToServer[] = "client to server";
constexpr char kServerToClient[] = "server to client";
constexpr const char* kWhat = "handshake";

template <class E>
[[noreturn]] void Fail(const ZQ_TString& message) {
  E failure(message);
  ZQ_THROW_AT(failure, __FILE__, __LINE__);
}

constexpr char kSameKeyAdvice[] =
    "give every daemon and administrator of the installation the same key (--key PATH or "
    "ZQM_KEY_FILE; made by zqmd --init-key)";

std::string PidBytes(std::uint32_t pid) {
  return {static_cast<char>(pid), static_cast<char>(pid >> 8), static_cast<char>(pid >> 16),
          static_cast<char>(pid >> 24)};
}

// What the client's frame adds to the transcript: everything but its proof.
std::string Transcript(std::string_view greetingBody, const ZQ_TDict& clientAuth) {
  auto text = [&clientAuth](const char* key) -> std::string_view {
    const ZQ_TAny* value = clientAuth.Find(key);
    const ZQ_TString* string = value != nullptr ? value->As<ZQ_TString>() : nullptr;
    return string != nullptr ? std::string_view(string->Text()) : std::string_view();
  };
  return zqm_crypto::Hash({kTranscriptLabel, greetingBody, text("Nonce"), text("Ephemeral"),
                           text("Certificate"), text("Signature"), text("Cipher")});
}

zqm_channel::Keys MacKeys(std::string_view secret, std::string_view transcript,
                          zqm_crypto::Cipher cipher) {
  return {zqm_crypto::Mac(secret, {kClientToServer, transcript}),
          zqm_crypto::Mac(secret, {kServerToClient, transcript}), cipher};
}

zqm_channel::Keys AgreedKeys(std::string shared, std::string_view transcript,
                             zqm_crypto::Cipher cipher) {
  zqm_channel::Keys keys{zqm_crypto::KeyedHash(shared, {kClientToServer, transcript}),
                         zqm_crypto::KeyedHash(shared, {kServerToClient, transcript}), cipher};
  zqm_crypto::Wipe(shared);
  return keys;
}

// The cipher a server chooses: AES-256-GCM when the client offers it and
// this CPU has it too, else ChaCha20-Poly1305, which every side has.
zqm_crypto::Cipher Choose(const ZQ_TDict& clientAuth) {
  const ZQ_TAny* offer = clientAuth.Find("Cipher");
  const ZQ_TString* name = offer != nullptr ? offer->As<ZQ_TString>() : nullptr;
  const bool aes = name != nullptr &&
                   *name == zqm_crypto::CipherName(zqm_crypto::Cipher::kAes256Gcm) &&
                   zqm_crypto::FastestCipher() == zqm_crypto::Cipher::kAes256Gcm;
  return aes ? zqm_crypto::Cipher::kAes256Gcm : zqm_crypto::Cipher::kChaCha20Poly1305;
}

// The cipher a server's answer names; throws for one we did not offer.
zqm_crypto::Cipher Chosen(const ZQ_TDict& answer) {
  const ZQ_TString& name = zqm_wire::Entry<ZQ_TString>(answer, "Cipher", kWhat);
  for (const zqm_crypto::Cipher cipher :
       {zqm_crypto::Cipher::kChaCha20Poly1305, zqm_crypto::Cipher::kAes256Gcm}) {
    if (name == zqm_crypto::CipherName(cipher) &&
        (cipher == zqm_crypto::Cipher::kChaCha20Poly1305 ||
         zqm_crypto::FastestCipher() == cipher)) {
      return cipher;
    }
  }
  ZQM_EProtocolError unknown(ZQ_TString("the server chose a cipher we did not offer: ") + name);
  ZQ_THROW_AT(unknown, __FILE__, __LINE__);
}

// The server's final transcript in the signed mode: the client's, and what
// the server adds.
std::string SignedTranscript(std::string_view transcript, std::string_view ephemeral,
                             std::uint32_t pid, std::string_view certificateSignature,
                             std::string_view cipher) {
  return zqm_crypto::Hash({transcript, ephemeral, PidBytes(pid), certificateSignature, cipher});
}

}  // namespace

Client::Client(std::shared_ptr<const zqm_auth::Credentials> credentials, ZQ_TString server)
    : credentials_(std::move(credentials)), server_(std::move(server)) {}

const zqm_wire::Hello& Client::ReadGreeting(std::string_view payload) {
  if (zqm_wire::PayloadKind(payload) != zqm_wire::Kind::kHello) {
    Fail<ZQM_EProtocolError>("greeting of " + server_ + ": the first frame is not a greeting");
  }
  greetingBody_ = payload.substr(1);
  hello_ = zqm_wire::DecodeHello(greetingBody_);
  return hello_;
}

std::string Client::Secret() const {
  switch (mode_) {
    case Mode::kKey:
      return credentials_->key;
    case Mode::kServerInstanceKey:
      return zqm_identity::InstanceKey(credentials_->key, hello_.certificate);
    case Mode::kClientInstanceKey:
      return credentials_->identity->instanceKey;
    default:
      return {};
  }
}

std::string Client::Prove() {
  if (credentials_->insecure && hello_.authenticate) {
    Fail<ZQM_EAuthenticationFailed>(
        server_ + " requires authentication, but this program runs without a key (" +
        credentials_->source.c_str() + "): " + kSameKeyAdvice);
  }
  if (!credentials_->insecure && !hello_.authenticate) {
    Fail<ZQM_EAuthenticationFailed>(
        server_ + " runs without authentication (insecure), but this program has a key (" +
        credentials_->source.c_str() +
        "): start that server with the installation's key, or this program with --insecure or "
        "ZQM_INSECURE=1");
  }
  if (credentials_->insecure) return {};
  const bool serverIdentity = !hello_.certificate.empty();
  if (serverIdentity) {
    const zqm_identity::Certificate named = zqm_identity::ReadCertificate(hello_.certificate);
    if (!(hello_.name == named.name.c_str()) || hello_.instance != named.instance) {
      Fail<ZQM_EAuthenticationFailed>(
          ZQ_TString::Format("%s greets as %s#%d, but its certificate names %s#%d", server_,
                             hello_.name, hello_.instance, named.name, named.instance));
    }
  }
  mode_ = credentials_->HoldsKey() ? (serverIdentity ? Mode::kServerInstanceKey : Mode::kKey)
                                   : (serverIdentity ? Mode::kSigned : Mode::kClientInstanceKey);
  ZQ_TDict auth;
  if (mode_ == Mode::kSigned) {
    agree_ = zqm_crypto::NewAgreeKeys();
    zqm_wire::SetHex(auth, "Ephemeral", agree_.publicKey);
    zqm_wire::SetHex(auth, "Signature", credentials_->identity->signature);
  } else {
    zqm_wire::SetHex(auth, "Nonce", zqm_crypto::Random(zqm_auth::kNonceBytes));
  }
  if (!credentials_->HoldsKey()) {
    zqm_wire::SetHex(auth, "Certificate", credentials_->identity->certificate);
  }
  auth.Set("Cipher", ZQ_TAny(zqm_crypto::CipherName(zqm_crypto::FastestCipher())));
  transcript_ = Transcript(greetingBody_, auth);
  zqm_wire::SetHex(auth, "Proof",
                   mode_ == Mode::kSigned ? zqm_crypto::Sign(credentials_->identity->signSecret,
                                                             {kClientLabel, transcript_})
                                          : zqm_crypto::Mac(Secret(), {kClientLabel, transcript_}));
  return zqm_wire::DictFrame(zqm_wire::Kind::kAuth, auth);
}

void Client::CheckAnswer(std::string_view payload) {
  if (zqm_wire::PayloadKind(payload) != zqm_wire::Kind::kAuth) {
    Fail<ZQM_EProtocolError>("handshake with " + server_ +
                             ": the server answered the handshake with another frame");
  }
  const ZQ_TDict answer = zqm_wire::DecodeDict(payload.substr(1), kWhat);
  const std::uint32_t pid = zqm_wire::Entry<ZQ_TUInt32>(answer, "PID", kWhat);
  const zqm_crypto::Cipher cipher = Chosen(answer);
  const std::string_view cipherName = zqm_crypto::CipherName(cipher);
  bool proven = false;
  if (mode_ == Mode::kSigned) {
    const std::string ephemeral =
        zqm_wire::HexEntry(answer, "Ephemeral", zqm_crypto::kAgreePublicBytes, kWhat);
    const std::string signature =
        zqm_wire::HexEntry(answer, "Signature", zqm_crypto::kSignatureBytes, kWhat);
    const std::string proof =
        zqm_wire::HexEntry(answer, "Proof", zqm_crypto::kSignatureBytes, kWhat);
    const std::string transcript =
        SignedTranscript(transcript_, ephemeral, pid, signature, cipherName);
    const zqm_identity::Certificate named = zqm_identity::ReadCertificate(hello_.certificate);
    proven = zqm_identity::SignedByInstallation(credentials_->installationPublicKey,
                                                hello_.certificate, signature) &&
             zqm_crypto::Verify(named.signKey, proof, {kServerLabel, transcript});
    if (proven) {
      keys_ = AgreedKeys(zqm_crypto::Agree(agree_.secretKey, ephemeral), transcript, cipher);
    }
  } else {
    const std::string proof = zqm_wire::HexEntry(answer, "Proof", zqm_crypto::kMacBytes, kWhat);
    std::string secret = Secret();
    proven = zqm_crypto::Same(
        zqm_crypto::Mac(secret, {kServerLabel, transcript_, PidBytes(pid), cipherName}), proof);
    if (proven) keys_ = MacKeys(secret, transcript_, cipher);
    zqm_crypto::Wipe(secret);
  }
  zqm_crypto::Wipe(agree_.secretKey);
  if (!proven) {
    Fail<ZQM_EAuthenticationFailed>(
        server_ +
        " could not prove that it holds our key or the identity it claims: its key "
        "differs from ours (" +
        credentials_->source.c_str() + "); " + kSameKeyAdvice);
  }
  hello_.pid = pid;
}

void Client::ProofRefused(const ZQ_EException& closed) const {
  Fail<ZQM_EAuthenticationFailed>(server_ + " refused our proof (" + closed.ZQ_Message() +
                                  "): its key differs from ours (" + credentials_->source.c_str() +
                                  "); " + kSameKeyAdvice);
}

zqm_channel::Channel Client::TakeChannel() {
  if (mode_ == Mode::kInsecure) return {};
  zqm_channel::Channel channel(keys_, true);
  keys_ = {};
  return channel;
}

Server::Server(std::shared_ptr<const zqm_auth::Credentials> credentials, zqm_wire::Hello hello)
    : credentials_(std::move(credentials)), pid_(static_cast<std::uint32_t>(getpid())) {
  hello.authenticate = !credentials_->insecure;
  if (hello.authenticate) {
    hello.nonce = zqm_crypto::Random(zqm_auth::kNonceBytes);
    hello.certificate =
        credentials_->HoldsKey() ? std::string() : credentials_->identity->certificate;
  }
  greeting_ = zqm_wire::HelloFrame(hello);
  greetingBody_ = greeting_.substr(zqm_wire::kHeaderBytes + 1);
  // Without a handshake nobody is told apart: insecure mode is for
  // experiments on one's own machine.
  if (!hello.authenticate) caller_.role = zqm_roles::Role::kAdministrator;
}

std::string Server::Answer(std::string_view payload) {
  const zqm_wire::Kind kind = zqm_wire::PayloadKind(payload);
  if (kind == zqm_wire::Kind::kRequest) {
    Fail<ZQM_EAuthenticationFailed>(
        "a request before the handshake (does the peer run without a key?)");
  }
  if (kind != zqm_wire::Kind::kAuth) Fail<ZQM_EProtocolError>("a frame other than the handshake");
  const ZQ_TDict auth = zqm_wire::DecodeDict(payload.substr(1), kWhat);
  const std::string transcript = Transcript(greetingBody_, auth);
  const bool clientIdentity = auth.Find("Certificate") != nullptr;
  std::string certificate;
  if (clientIdentity) {
    certificate =
        zqm_wire::HexEntryUpTo(auth, "Certificate", zqm_identity::kMaxCertificateBytes, kWhat);
  }
  ZQ_TDict answer;
  answer.Set("PID", ZQ_TAny(ZQ_TUInt32(pid_)));
  const zqm_crypto::Cipher cipher = Choose(auth);
  const std::string_view cipherName = zqm_crypto::CipherName(cipher);
  answer.Set("Cipher", ZQ_TAny(zqm_crypto::CipherName(cipher)));
  if (clientIdentity && !credentials_->HoldsKey()) {
    // Two identities: signatures and key agreement.
    const zqm_identity::Certificate named = zqm_identity::ReadCertificate(certificate);
    const std::string ephemeral =
        zqm_wire::HexEntry(auth, "Ephemeral", zqm_crypto::kAgreePublicBytes, kWhat);
    const std::string signature =
        zqm_wire::HexEntry(auth, "Signature", zqm_crypto::kSignatureBytes, kWhat);
    const std::string proof = zqm_wire::HexEntry(auth, "Proof", zqm_crypto::kSignatureBytes, kWhat);
    if (!zqm_identity::SignedByInstallation(credentials_->installationPublicKey, certificate,
                                            signature) ||
        !zqm_crypto::Verify(named.signKey, proof, {kClientLabel, transcript})) {
      Fail<ZQM_EAuthenticationFailed>(
          "authentication failed: the peer's certificate or proof does not check");
    }
    caller_ = {zqm_roles::Role::kServer, false, 0, 0, 0, named.name, named.instance, {}};
    const zqm_identity::Identity& own = *credentials_->identity;
    zqm_crypto::AgreeKeys ours = zqm_crypto::NewAgreeKeys();
    const std::string signedTranscript =
        SignedTranscript(transcript, ours.publicKey, pid_, own.signature, cipherName);
    zqm_wire::SetHex(answer, "Ephemeral", ours.publicKey);
    zqm_wire::SetHex(answer, "Signature", own.signature);
    zqm_wire::SetHex(answer, "Proof",
                     zqm_crypto::Sign(own.signSecret, {kServerLabel, signedTranscript}));
    keys_ = AgreedKeys(zqm_crypto::Agree(ours.secretKey, ephemeral), signedTranscript, cipher);
    zqm_crypto::Wipe(ours.secretKey);
  } else {
    std::string secret =
        credentials_->HoldsKey()
            ? (clientIdentity ? zqm_identity::InstanceKey(credentials_->key, certificate)
                              : credentials_->key)
            : credentials_->identity->instanceKey;
    const std::string proof = zqm_wire::HexEntry(auth, "Proof", zqm_crypto::kMacBytes, kWhat);
    if (!zqm_crypto::Same(zqm_crypto::Mac(secret, {kClientLabel, transcript}), proof)) {
      zqm_crypto::Wipe(secret);
      Fail<ZQM_EAuthenticationFailed>("authentication failed: the peer's key differs from ours");
    }
    if (clientIdentity) {
      const zqm_identity::Certificate named = zqm_identity::ReadCertificate(certificate);
      caller_ = {zqm_roles::Role::kServer, false, 0, 0, 0, named.name, named.instance, {}};
    } else {
      caller_.role = zqm_roles::Role::kAdministrator;
    }
    zqm_wire::SetHex(
        answer, "Proof",
        zqm_crypto::Mac(secret, {kServerLabel, transcript, PidBytes(pid_), cipherName}));
    keys_ = MacKeys(secret, transcript, cipher);
    zqm_crypto::Wipe(secret);
  }
  sealed_ = true;
  return zqm_wire::DictFrame(zqm_wire::Kind::kAuth, answer);
}

zqm_channel::Channel Server::TakeChannel() {
  if (!sealed_) return {};
  zqm_channel::Channel channel(keys_, false);
  keys_ = {};
  return channel;
}

}  // namespace zqm_handshake
