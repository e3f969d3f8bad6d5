// Writes the seed corpora of the fuzzers that read packed values: the
// unpacker's (<directory>/unpack), one file per packed value, each reaching
// a different part of the format, so that the fuzzer starts from
// well-formed nesting, sections and named classes instead of finding them
// byte by byte; the daemon's state file reader's (<directory>/state_file);
// the frame reader's (<directory>/wire: streams of real frames, plain and
// sealed) and the handshake's (<directory>/handshake: real greetings and
// proofs of each kind of credentials).
//
//   fuzz_seeds <directory>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "DEVUror/devuror.h"
#include "DEVUror/zqm_channel.h"
#include "DEVUror/zqm_handshake.h"
#include "DEVUror/zqm_identity.h"
#include "typelib/dodived.h"
#include "zqmd/state_file.h"

namespace {

bool WriteBytes(const std::string& dir, const char* name, const std::string& bytes) {
  std::filesystem::create_directories(dir);
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

bool Write(const std::string& dir, const char* name, const ZQ_IPackable& value) {
  return WriteBytes(dir, name, ZQ_PackValue(&value));
}

zqmd::SavedInstance Saved(const char* name, unsigned short instance, const char* state) {
  zqmd::SavedInstance saved;
  saved.name = name;
  saved.instance = instance;
  saved.pid = 4000 + instance;
  saved.port = state == std::string("unbound") ? 0 : 20000 + instance;
  saved.state = state;
  saved.started = 1700000000 + instance;
  saved.logPath =
      std::string("/var/log/custodel/") + name + "-" + std::to_string(instance) + ".log";
  saved.startTicks = 123456 + instance;
  return saved;
}

// Registries as the daemon saves them: empty, one instance, several of
// every state, and one whose entries the reader must partly leave out.
bool WriteStateSeeds(const std::string& dir) {
  ZQ_TList damaged;
  damaged.Append(ZQ_TAny(ZQ_TString("not an entry")));
  ZQ_TDict lacking;
  lacking.Set("Name", "Sample");
  lacking.Set("PID", ZQ_TUInt32(77));
  damaged.Append(ZQ_TAny(lacking));
  bool ok = WriteBytes(dir, "none", zqmd::EncodeState({}));
  ok &= WriteBytes(dir, "one", zqmd::EncodeState({Saved("Sample", 1, "running")}));
  ok &= WriteBytes(dir, "several",
                   zqmd::EncodeState({Saved("Sample", 1, "running"), Saved("Sample", 2, "plain"),
                                      Saved("Other", 1, "unbound")}));
  ok &= Write(dir, "damaged", damaged);
  return ok;
}

ZQ_TTree ConfigTree() {
  ZQ_TTree tree;
  tree.Set("servers/alpha/instances", 2u);
  tree.Set("servers/alpha/port", ZQ_TUInt16(4711));
  tree.Set("servers/alpha/enabled", true);
  tree.Set("servers/beta/command", "beta --quiet");
  tree.Set("log/level", "debug");
  return tree;
}

ZQ_TDict Request() {
  ZQ_TList args;
  args.Append("start");
  args.Append(ZQ_TUInt16(65535));
  args.Append(ZQ_TUInt32(4294967295u));
  args.Append(false);
  args.Append(ZQ_TAny());
  ZQ_TDict request;
  request.Set("M", "Run");
  request.Set("P1", args);
  request.Set("P2", ConfigTree());
  return request;
}

// Streams as the wire fuzzer takes them: a control byte (piece size, the
// handshake's limit, sealed or not), then whole frames. Sealed ones are
// sealed as a client seals them for the fuzzer's receiving end.
bool WriteWireSeeds(const std::string& dir) {
  zqm_wire::Hello hello{ZQ_TString("Orders"), 3};
  hello.authenticate = true;
  hello.nonce = std::string(32, 'n');
  const std::string frames = zqm_wire::HelloFrame(hello) + zqm_wire::RequestFrame(Request()) +
                             zqm_wire::ResultFrame(ZQ_TAny(ConfigTree())) +
                             zqm_wire::FailureFrame(ZQ_EException(ZQ_TString("refused")));
  std::string sealed;
  for (const auto cipher : {zqm_crypto::Cipher::kChaCha20Poly1305, zqm_crypto::Cipher::kAes256Gcm}) {
    zqm_channel::Channel client({std::string(32, 'c'), std::string(32, 's'), cipher}, true);
    sealed = client.Seal(zqm_wire::RequestFrame(Request())) +
             client.Seal(zqm_wire::ResultFrame(ZQ_TAny(7u)));
    const char control = static_cast<char>(cipher == zqm_crypto::Cipher::kAes256Gcm ? 0xC7 : 0x47);
    if (!WriteBytes(dir, cipher == zqm_crypto::Cipher::kAes256Gcm ? "sealed_aes" : "sealed_chacha",
                    std::string(1, control) + sealed)) {
      return false;
    }
  }
  return WriteBytes(dir, "plain", std::string(1, '\x05') + frames) &&
         WriteBytes(dir, "handshake_limit", std::string(1, '\x23') + zqm_wire::HelloFrame(hello));
}

// Inputs as the handshake fuzzer takes them: a control byte (side and
// credentials), the first frame's length, the first frame, the second.
bool WriteHandshakeSeeds(const std::string& dir) {
  const auto key = zqm_auth::FromKey(std::string(32, 'k'), "seed key");
  auto issued = std::make_shared<zqm_auth::Credentials>();
  issued->identity.emplace(zqm_identity::Issue(
      key->key, {key->installationPublicKey, key->installationSecretKey}, "Fuzz", 1, "fuzz-host"));
  issued->installationPublicKey = key->installationPublicKey;
  const std::shared_ptr<const zqm_auth::Credentials> identity = issued;
  const auto input = [](char control, const std::string& first, const std::string& second) {
    const std::string a = first.substr(zqm_wire::kHeaderBytes);
    const std::string b = second.empty() ? "" : second.substr(zqm_wire::kHeaderBytes);
    return std::string{control, static_cast<char>(a.size() >> 8), static_cast<char>(a.size())} +
           a + b;
  };
  bool ok = true;
  int n = 0;
  for (const auto& server : {key, identity}) {
    for (const auto& client : {key, identity}) {
      zqm_handshake::Server serving(server, {ZQ_TString("Fuzz"), 1});
      zqm_handshake::Client calling(client, "seed");
      calling.ReadGreeting(serving.Greeting().substr(zqm_wire::kHeaderBytes));
      const std::string proof = calling.Prove();
      const std::string answer = serving.Answer(proof.substr(zqm_wire::kHeaderBytes));
      const char side = client == identity ? 1 : 0;  // the side the fuzzer plays with
      ok &= WriteBytes(dir, ("client_" + std::to_string(n)).c_str(),
                       input(side, serving.Greeting(), answer));
      ok &= WriteBytes(dir, ("server_" + std::to_string(n)).c_str(),
                       input(static_cast<char>(2 | (server == identity ? 1 : 0)), proof, ""));
      ++n;
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/unpack";

  ZQ_TList nested;
  nested.Append(Request());
  ZQ_TList inner;
  inner.Append(ZQ_TList());
  inner.Append(ZQ_TDict());
  inner.Append(ZQ_TTree());
  nested.Append(inner);

  ZQ_EException failure(ZQ_TString("instance 3 of alpha did not start"), Request());
  failure.__PREPARE_FOR_THROW__(42, "service/starter.cc");
  failure.ZQ_AddTrace("Run on host-a");
  failure.ZQ_AddTrace("Start on host-b");

  ZQ_EBadCast badCast(ZQ_TString("bad cast: expected ZQ_TList, found ZQ_TString"));
  badCast.__PREPARE_FOR_THROW__(7, "client.cc");
  ZQ_EMalformed malformed(ZQ_TString("malformed packed data: tree size at byte 3 of 9"));
  malformed.ZQ_AddTrace("Load");

  ZQ_TList exceptions;
  exceptions.Append(failure);
  exceptions.Append(badCast);
  exceptions.Append(malformed);

  bool ok = true;
  ok &= Write(dir, "empty", ZQ_TAny());
  ok &= Write(dir, "string", ZQ_TString(L"gr\u00fc\u00dfe \u2603"));
  ok &= Write(dir, "bool", ZQ_TBool(true));
  ok &= Write(dir, "uint16", ZQ_TUInt16(65535));
  ok &= Write(dir, "uint32", ZQ_TUInt32(4294967295u));
  ok &= Write(dir, "request", Request());
  ok &= Write(dir, "tree", ConfigTree());
  ok &= Write(dir, "nested", nested);
  ok &= Write(dir, "exception", failure);
  ok &= Write(dir, "bad_cast", badCast);
  ok &= Write(dir, "exceptions", exceptions);
  ok &= WriteStateSeeds(std::string(argv[1]) + "/state_file");
  ok &= WriteWireSeeds(std::string(argv[1]) + "/wire");
  ok &= WriteHandshakeSeeds(std::string(argv[1]) + "/handshake");
  return ok ? 0 : 1;
}
