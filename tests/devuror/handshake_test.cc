// The handshake, identities and sealed channels, both ends in one process:
// who may prove what to whom, what the server learns of the client, and
// that a session's frames cannot be changed, replayed, reordered or
// injected.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "DEVUror/devuror.h"
#include "DEVUror/zqm_channel.h"
#include "DEVUror/zqm_handshake.h"
#include "DEVUror/zqm_identity.h"

namespace {

using Credentials = std::shared_ptr<const zqm_auth::Credentials>;
using zqm_roles::Role;

Credentials Key(char fill) {
  return zqm_auth::FromKey(std::string(32, fill), "test key");
}

// An identity for `name`#`instance` issued with `issuer`'s key.
Credentials IdentityFrom(const Credentials& issuer, const std::string& name,
                         std::uint16_t instance) {
  auto credentials = std::make_shared<zqm_auth::Credentials>();
  const zqm_identity::Identity issued = zqm_identity::Issue(
      issuer->key, {issuer->installationPublicKey, issuer->installationSecretKey}, name, instance,
      "host-a");
  // As the instance receives it: serialized, then parsed.
  credentials->identity.emplace(zqm_identity::Parse(zqm_identity::Serialize(issued)));
  credentials->installationPublicKey = credentials->identity->installationPublicKey;
  credentials->source = "identity";
  return credentials;
}

struct Session {
  zqm_roles::Caller caller;
  zqm_wire::Hello peer;
  zqm_channel::Channel client;
  zqm_channel::Channel server;
};

std::string Payload(const std::string& frame) {
  return frame.substr(zqm_wire::kHeaderBytes);
}

// Runs a whole handshake between `client` and a server `name`#`instance`
// with `server`'s credentials; throws what either side throws.
Session Handshake(const Credentials& client, const Credentials& server, const char* name = "Orders",
                  std::uint16_t instance = 1) {
  zqm_handshake::Server serving(server, {ZQ_TString(name), instance});
  zqm_handshake::Client calling(client, "the test server");
  calling.ReadGreeting(Payload(serving.Greeting()));
  const std::string proof = calling.Prove();
  calling.CheckAnswer(Payload(serving.Answer(Payload(proof))));
  return {serving.Caller(), calling.Peer(), calling.TakeChannel(), serving.TakeChannel()};
}

void ExpectRefused(const std::function<void()>& attempt, const char* why) {
  try {
    attempt();
    ADD_FAILURE() << why << ": accepted";
  } catch (const ZQM_EAuthenticationFailed&) {
  } catch (const ZQM_EProtocolError&) {
  }
}

TEST(Handshake, EachPairOfCredentialsGivesTheRightCallerAndAWorkingSealedSession) {
  const Credentials key = Key('k');
  const Credentials orders = IdentityFrom(key, "Orders", 1);
  const Credentials billing = IdentityFrom(key, "Billing", 2);
  struct Case {
    Credentials client, server;
    Role role;
    const char* server_name;
  } cases[] = {
      {key, key, Role::kAdministrator, ""},         // both hold the key
      {key, orders, Role::kAdministrator, ""},      // the key holder works out Orders' key
      {billing, key, Role::kServer, "Billing"},     // Billing's own key, worked out by the server
      {billing, orders, Role::kServer, "Billing"},  // two identities: signatures and agreement
  };
  for (const Case& c : cases) {
    Session session = Handshake(c.client, c.server);
    EXPECT_EQ(c.role, session.caller.role);
    EXPECT_EQ(c.server_name, session.caller.server);
    EXPECT_EQ(static_cast<std::uint32_t>(getpid()), session.peer.pid);
    ASSERT_TRUE(session.client.Sealed());
    for (int round = 0; round < 3; ++round) {
      const std::string request = zqm_wire::RequestFrame(ZQ_TDict());
      const std::string sealed = session.client.Seal(request);
      EXPECT_EQ(std::string::npos, sealed.find(Payload(request)));
      EXPECT_EQ(Payload(request), session.server.Open(Payload(sealed)));
      const std::string result = zqm_wire::ResultFrame(ZQ_TAny(round));
      EXPECT_EQ(Payload(result), session.client.Open(Payload(session.server.Seal(result))));
    }
  }
}

TEST(Handshake, ForeignKeysIdentitiesAndImpostorsAreRefused) {
  const Credentials key = Key('k');
  const Credentials other = Key('x');
  const Credentials orders = IdentityFrom(key, "Orders", 1);
  const Credentials foreign = IdentityFrom(other, "Orders", 1);
  ExpectRefused([&] { Handshake(other, key); }, "a client with another key");
  ExpectRefused([&] { Handshake(key, other); }, "a server with another key");
  ExpectRefused([&] { Handshake(foreign, key); }, "an identity of another installation");
  ExpectRefused([&] { Handshake(foreign, orders); }, "another installation's identity, signed");
  ExpectRefused([&] { Handshake(orders, foreign); }, "a server of another installation");
  // Orders' identity greeting as Billing: the client notices before it proves anything.
  zqm_handshake::Server impostor(orders, {ZQ_TString("Billing"), 1});
  zqm_handshake::Client client(key, "Billing");
  client.ReadGreeting(Payload(impostor.Greeting()));
  ExpectRefused([&] { client.Prove(); }, "a certificate of another instance");
  // Insecure on one side only.
  auto insecure = std::make_shared<zqm_auth::Credentials>();
  insecure->insecure = true;
  ExpectRefused([&] { Handshake(insecure, key); }, "an insecure client");
  ExpectRefused([&] { Handshake(key, insecure); }, "an insecure server");
}

TEST(Handshake, AProofServesOneConnectionOnly) {
  const Credentials key = Key('k');
  for (const Credentials& client : {key, IdentityFrom(key, "Billing", 1)}) {
    zqm_handshake::Server first(key, {ZQ_TString("Orders"), 1});
    zqm_handshake::Client calling(client, "Orders");
    calling.ReadGreeting(Payload(first.Greeting()));
    const std::string proof = calling.Prove();
    // Relayed to another connection (another greeting, another nonce).
    zqm_handshake::Server second(key, {ZQ_TString("Orders"), 1});
    ExpectRefused([&] { second.Answer(Payload(proof)); }, "a proof made for another greeting");
    // The genuine answer still checks; one from the other connection does not.
    zqm_handshake::Client other(client, "Orders");
    other.ReadGreeting(Payload(second.Greeting()));
    const std::string otherAnswer = second.Answer(Payload(other.Prove()));
    ExpectRefused([&] { calling.CheckAnswer(Payload(otherAnswer)); }, "another session's answer");
  }
}

TEST(Handshake, SealedFramesThatWereChangedReplayedReorderedOrInjectedDoNotOpen) {
  const Credentials key = Key('k');
  Session session = Handshake(key, key);
  const std::string one = session.client.Seal(zqm_wire::RequestFrame(ZQ_TDict()));
  const std::string two = session.client.Seal(zqm_wire::ResultFrame(ZQ_TAny(2)));
  std::string changed = Payload(one);
  changed.back() ^= 1;
  EXPECT_THROW(session.server.Open(changed), ZQM_EProtocolError);
  Session fresh = Handshake(key, key);
  const std::string a = fresh.client.Seal(zqm_wire::RequestFrame(ZQ_TDict()));
  const std::string b = fresh.client.Seal(zqm_wire::RequestFrame(ZQ_TDict()));
  EXPECT_THROW(fresh.server.Open(Payload(b)), ZQM_EProtocolError) << "reordered";
  Session again = Handshake(key, key);
  const std::string first = again.client.Seal(zqm_wire::RequestFrame(ZQ_TDict()));
  EXPECT_NO_THROW(again.server.Open(Payload(first)));
  EXPECT_THROW(again.server.Open(Payload(first)), ZQM_EProtocolError) << "replayed";
  EXPECT_THROW(again.server.Open(Payload(zqm_wire::RequestFrame(ZQ_TDict()))), ZQM_EProtocolError)
      << "injected in plain text";
  EXPECT_THROW(again.server.Open(Payload(a)), ZQM_EProtocolError) << "from another session";
  (void)two;
}

TEST(Handshake, BothCiphersSealInPlaceAndOpenOnlyWithTheirKeyCounterAndHeader) {
  const std::string key(32, 'z');
  for (const zqm_crypto::Cipher cipher :
       {zqm_crypto::Cipher::kChaCha20Poly1305, zqm_crypto::Cipher::kAes256Gcm}) {
    if (cipher != zqm_crypto::FastestCipher() && cipher == zqm_crypto::Cipher::kAes256Gcm) continue;
    const zqm_crypto::SealingKey sealing(cipher, key);
    const std::string plain(1000, 'p');
    std::string data = plain;
    char tag[zqm_crypto::kSealTagBytes];
    sealing.Seal(7, "head", data.data(), data.size(), tag);
    EXPECT_NE(plain, data) << zqm_crypto::CipherName(cipher);
    std::string copy = data;
    EXPECT_FALSE(sealing.Open(8, "head", copy.data(), copy.size(), tag)) << "another counter";
    copy = data;
    EXPECT_FALSE(sealing.Open(7, "HEAD", copy.data(), copy.size(), tag)) << "another header";
    copy = data;
    EXPECT_FALSE(zqm_crypto::SealingKey(cipher, std::string(32, 'y'))
                     .Open(7, "head", copy.data(), copy.size(), tag))
        << "another key";
    ASSERT_TRUE(sealing.Open(7, "head", data.data(), data.size(), tag));
    EXPECT_EQ(plain, data);
  }
}

TEST(Identity, ATamperedCertificateOrIdentityFileIsRefused) {
  const Credentials key = Key('k');
  const zqm_identity::Identity issued = zqm_identity::Issue(
      key->key, {key->installationPublicKey, key->installationSecretKey}, "Orders", 1, "host-a");
  EXPECT_EQ("Orders", issued.named.name);
  EXPECT_EQ(zqm_identity::InstanceKey(key->key, issued.certificate), issued.instanceKey);
  std::string bytes = zqm_identity::Serialize(issued);
  const std::size_t at = bytes.find(zqm_auth::ToHex(issued.certificate).substr(40, 8));
  ASSERT_NE(std::string::npos, at);
  bytes[at] = bytes[at] == '0' ? '1' : '0';
  EXPECT_THROW(zqm_identity::Parse(bytes), ZQ_EException);
  EXPECT_THROW(zqm_identity::Parse(std::string(5000, 'x')), ZQ_EException);
  EXPECT_THROW(zqm_identity::ReadCertificate("not a certificate"), ZQM_EProtocolError);
}

}  // namespace

namespace {

// The roles table that docs/security.md shows is the one the runtime applies.
TEST(Roles, TheDocumentedTableIsTheAppliedOne) {
  std::ifstream file(std::string(ZQ_SOURCE_DIR) + "/docs/security.md");
  const std::string docs((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(docs.empty());
  for (const zqm_roles::Rule& rule : zqm_roles::Rules()) {
    bool shown = false;
    for (std::size_t start = 0, end; !shown && start < docs.size(); start = end + 1) {
      end = docs.find('\n', start);
      if (end == std::string::npos) end = docs.size();
      const std::string line = docs.substr(start, end - start);
      shown = line.rfind(std::string("| ") + rule.service, 0) == 0 &&
              line.find(rule.method) != std::string::npos &&
              line.find(std::string("| ") + zqm_roles::RoleName(rule.needs) + " |") !=
                  std::string::npos;
    }
    EXPECT_TRUE(shown) << rule.service << " " << rule.method << " needs "
                       << zqm_roles::RoleName(rule.needs);
  }
  const zqm_roles::Caller server{
      zqm_roles::Role::kServer, false, 0, 0, 0, "Orders", 1, "10.0.0.2:1"};
  EXPECT_NO_THROW(zqm_roles::Check(server, zqm_roles::kConfigurationServer, "Expand"));
  EXPECT_THROW(zqm_roles::Check(server, zqm_roles::kConfigurationServer, "Set"), ZQM_EAccessDenied);
  EXPECT_NO_THROW(zqm_roles::Check(server, "Orders", "Anything"));
  const zqm_roles::Caller stranger{zqm_roles::Role::kStranger, true, 42, 1000, 1000, "", 0, ""};
  EXPECT_THROW(zqm_roles::Check(stranger, zqm_roles::kDaemon, "Servers"), ZQM_EAccessDenied);
}

}  // namespace
