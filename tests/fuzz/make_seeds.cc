// Writes the unpacker fuzzer's seed corpus: one file per packed value, each
// reaching a different part of the format, so that the fuzzer starts from
// well-formed nesting, sections and named classes instead of finding them
// byte by byte.
//
//   unpack_fuzzer_seeds <directory>
#include <cstdio>
#include <fstream>
#include <string>

#include "typelib/dodived.h"

namespace {

bool Write(const std::string& dir, const char* name, const ZQ_IPackable& value) {
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out << ZQ_PackValue(&value);
  return static_cast<bool>(out);
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
  const std::string dir = argv[1];

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
  return ok ? 0 : 1;
}
