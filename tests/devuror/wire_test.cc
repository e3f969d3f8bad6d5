// The wire protocol's frames and messages, including what a hostile peer
// might send.
#include <gtest/gtest.h>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_wire.h"

namespace {

std::string_view Body(const std::string& frame) {
  return std::string_view(frame).substr(zqm_wire::kHeaderBytes + 1);
}

TEST(Wire, RequestRoundTrip) {
  ZQ_TDict request;
  request.Set("M", ZQ_TAny("Servers"));
  request.Set("P1", ZQ_TAny("Alpha"));
  const std::string frame = zqm_wire::RequestFrame(request);
  const auto* header = reinterpret_cast<const unsigned char*>(frame.data());
  EXPECT_EQ(frame.size() - zqm_wire::kHeaderBytes, zqm_wire::FrameLength(header));
  EXPECT_EQ(zqm_wire::Kind::kRequest, zqm_wire::PayloadKind(std::string_view(frame).substr(4)));
  const ZQ_TDict decoded = zqm_wire::DecodeRequest(Body(frame));
  EXPECT_TRUE(decoded.ZQ_IsIdent(request));
  EXPECT_EQ(ZQ_TString("Servers"), zqm_wire::MethodOf(decoded));
}

TEST(Wire, FailureCarriesTheExceptionClass) {
  ZQM_ENoSuchServerMethod failure(ZQ_TString("Frob"));
  const std::string frame = zqm_wire::FailureFrame(failure.__PREPARE_FOR_THROW__(9, "f"));
  std::unique_ptr<ZQ_EException> decoded(zqm_wire::DecodeFailure(Body(frame)));
  EXPECT_STREQ("ZQM_ENoSuchServerMethod", decoded->ClassName());
  EXPECT_EQ(ZQ_TString("Frob"), decoded->ZQ_Message());
}

TEST(Wire, HostileFramesAreProtocolErrors) {
  const unsigned char empty[4] = {0, 0, 0, 0};
  EXPECT_THROW(zqm_wire::FrameLength(empty), ZQM_EProtocolError);
  const unsigned char huge[4] = {0x7F, 0xFF, 0xFF, 0xFF};
  try {
    zqm_wire::FrameLength(huge);
    FAIL();
  } catch (const ZQM_EProtocolError& e) {
    EXPECT_NE(std::string::npos, e.ZQ_Message().Text().find("exceeds the limit"));
  }
  EXPECT_THROW(zqm_wire::PayloadKind("X"), ZQM_EProtocolError);
  EXPECT_THROW(zqm_wire::PayloadKind(""), ZQM_EProtocolError);
  // A request that is not a dictionary, one without a method, and garbage.
  ZQ_TList notADict;
  EXPECT_THROW(zqm_wire::DecodeRequest(ZQ_PackValue(&notADict)), ZQM_EProtocolError);
  ZQ_TDict noMethod;
  EXPECT_THROW(zqm_wire::DecodeRequest(ZQ_PackValue(&noMethod)), ZQM_EProtocolError);
  EXPECT_THROW(zqm_wire::DecodeRequest("\x06\x05"), ZQM_EProtocolError);
  // A failure frame that carries no exception.
  ZQ_TString text("not an exception");
  EXPECT_THROW(zqm_wire::DecodeFailure(ZQ_PackValue(&text)), ZQM_EProtocolError);
}

TEST(Wire, GreetingChecksProtocolAndFieldsAndNamesNoProcess) {
  zqm_wire::Hello asking{ZQ_TString("Alpha"), 3, 1234};
  asking.authenticate = true;
  asking.nonce = zqm_auth::RandomBytes(zqm_auth::kNonceBytes);
  const zqm_wire::Hello hello = zqm_wire::DecodeHello(Body(zqm_wire::HelloFrame(asking)));
  EXPECT_EQ(ZQ_TString("Alpha"), hello.name);
  EXPECT_EQ(3, hello.instance);
  EXPECT_EQ(0u, hello.pid) << "a greeting tells strangers no process id";
  EXPECT_TRUE(hello.authenticate);
  EXPECT_EQ(asking.nonce, hello.nonce);
  EXPECT_FALSE(
      zqm_wire::DecodeHello(Body(zqm_wire::HelloFrame({ZQ_TString("B"), 1}))).authenticate);

  ZQ_TDict future;
  future.Set("Protocol", ZQ_TAny(99u));
  future.Set("Name", ZQ_TAny("A"));
  future.Set("Instance", ZQ_TAny(ZQ_TUInt16(1)));
  future.Set("Auth", ZQ_TAny(false));
  EXPECT_THROW(zqm_wire::DecodeHello(ZQ_PackValue(&future)), ZQM_EProtocolError);
  ZQ_TDict odd = future;
  odd.Set("Protocol", ZQ_TAny(zqm_wire::kProtocolVersion));
  odd.Set("Auth", ZQ_TAny(true));
  odd.Set("Nonce", ZQ_TAny(ZQ_TString(std::string(64, 'a'))));
  odd.Set("Proves", ZQ_TAny("everything"));
  EXPECT_THROW(zqm_wire::DecodeHello(ZQ_PackValue(&odd)), ZQM_EProtocolError);
}

}  // namespace
