// Writes the seed corpora of the fuzzers that read packed values: the
// unpacker's (<directory>/unpack), one file per packed value, each reaching
// a different part of the format, so that the fuzzer starts from
// well-formed nesting, sections and named classes instead of finding them
// byte by byte; and the daemon's state file reader's (<directory>/state_file).
//
//   fuzz_seeds <directory>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

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
  return ok ? 0 : 1;
}
