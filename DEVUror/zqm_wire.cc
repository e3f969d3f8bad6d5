#include "DEVUror/zqm_wire.h"

#include <memory>

#include "DEVUror/zqm_auth.h"
#include "DEVUror/zqm_identity.h"

namespace zqm_wire {

namespace {

[[noreturn]] void ProtocolError(const ZQ_TString& message) {
  ZQM_EProtocolError error(message);
  ZQ_THROW_AT(error, __FILE__, __LINE__);
}

ZQ_TAny Unpack(std::string_view body, const char* what) {
  ZQM_RegisterRuntimeClasses();
  try {
    return ZQ_UnpackValue(body);
  } catch (const ZQ_EException& malformed) {
    ProtocolError(ZQ_TString("unreadable ") + what + ": " + malformed.ZQ_Message());
  }
}

const ZQ_TDict& DictBody(const ZQ_TAny& value, const char* what) {
  const ZQ_TDict* dict = value.As<ZQ_TDict>();
  if (dict == nullptr) {
    ProtocolError(ZQ_TString::Format("%s is a %s, not a dictionary", what, value.HeldClassName()));
  }
  return *dict;
}

}  // namespace

ZQ_TDict DecodeDict(std::string_view packed, const char* what) {
  const ZQ_TAny value = Unpack(packed, what);
  return DictBody(value, what);
}

template <class T>
const T& Entry(const ZQ_TDict& dict, const char* key, const char* what) {
  const ZQ_TAny* value = dict.Find(key);
  const T* typed = value != nullptr ? value->As<T>() : nullptr;
  if (typed == nullptr)
    ProtocolError(ZQ_TString::Format("%s lacks a %s \"%s\"", what, T::ZQ_ClassName(), key));
  return *typed;
}
template const ZQ_TString& Entry<ZQ_TString>(const ZQ_TDict&, const char*, const char*);
template const ZQ_TUInt16& Entry<ZQ_TUInt16>(const ZQ_TDict&, const char*, const char*);
template const ZQ_TUInt32& Entry<ZQ_TUInt32>(const ZQ_TDict&, const char*, const char*);
template const ZQ_TBool& Entry<ZQ_TBool>(const ZQ_TDict&, const char*, const char*);

std::string HexEntry(const ZQ_TDict& dict, const char* key, std::size_t bytes, const char* what) {
  const std::string raw = zqm_auth::FromHex(Entry<ZQ_TString>(dict, key, what).Text(), bytes);
  if (raw.empty()) {
    ProtocolError(ZQ_TString::Format("%s's \"%s\" is not %d bytes of hex", what, key, bytes));
  }
  return raw;
}

std::string HexEntryUpTo(const ZQ_TDict& dict, const char* key, std::size_t maxBytes,
                         const char* what) {
  const std::string& text = Entry<ZQ_TString>(dict, key, what).Text();
  const std::string raw = text.size() <= 2 * maxBytes && text.size() % 2 == 0
                              ? zqm_auth::FromHex(text, text.size() / 2)
                              : std::string();
  if (raw.empty()) {
    ProtocolError(
        ZQ_TString::Format("%s's \"%s\" is not 1 to %d bytes of hex", what, key, maxBytes));
  }
  return raw;
}

void SetHex(ZQ_TDict& dict, const char* key, std::string_view bytes) {
  dict.Set(key, ZQ_TAny(ZQ_TString(zqm_auth::ToHex(bytes))));
}

std::uint32_t FrameLength(const unsigned char header[kHeaderBytes]) {
  const std::uint32_t length = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                               (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
  if (length == 0) ProtocolError("empty frame");
  if (length > kMaxFrameBytes) {
    ProtocolError(ZQ_TString::Format("frame of %d bytes exceeds the limit of %d bytes", length,
                                     kMaxFrameBytes));
  }
  return length;
}

std::string Frame(Kind kind, std::string_view body) {
  const std::uint64_t length = body.size() + 1;
  if (length > kMaxPlainFrameBytes) {
    ProtocolError(ZQ_TString::Format("message of %d bytes exceeds the frame limit of %d bytes",
                                     length, kMaxPlainFrameBytes));
  }
  std::string frame;
  frame.reserve(kHeaderBytes + length + kSealBytes);  // room to seal it in place
  for (int shift = 24; shift >= 0; shift -= 8)
    frame += static_cast<char>((length >> shift) & 0xFF);
  frame += static_cast<char>(kind);
  frame.append(body);
  return frame;
}

Kind PayloadKind(std::string_view payload) {
  const auto kind = static_cast<Kind>(payload.empty() ? 0 : payload[0]);
  switch (kind) {
    case Kind::kHello:
    case Kind::kAuth:
    case Kind::kRequest:
    case Kind::kResult:
    case Kind::kFailure:
      return kind;
  }
  ProtocolError(ZQ_TString::Format("unknown frame kind %d",
                                   payload.empty() ? 0 : static_cast<unsigned char>(payload[0])));
}

std::string HelloFrame(const Hello& hello) {
  ZQ_TDict dict;
  dict.Set("Protocol", ZQ_TAny(kProtocolVersion));
  dict.Set("Name", ZQ_TAny(hello.name));
  dict.Set("Instance", ZQ_TAny(ZQ_TUInt16(hello.instance)));
  dict.Set("Auth", ZQ_TAny(hello.authenticate));
  if (hello.authenticate) {
    SetHex(dict, "Nonce", hello.nonce);
    dict.Set("Proves", ZQ_TAny(hello.certificate.empty() ? "key" : "identity"));
    if (!hello.certificate.empty()) SetHex(dict, "Certificate", hello.certificate);
  }
  return DictFrame(Kind::kHello, dict);
}

std::string DictFrame(Kind kind, const ZQ_TDict& dict) {
  return Frame(kind, ZQ_PackValue(&dict));
}

std::string RequestFrame(const ZQ_TDict& arguments) {
  return Frame(Kind::kRequest, ZQ_PackValue(&arguments));
}

std::string ResultFrame(const ZQ_TAny& result) {
  return Frame(Kind::kResult, ZQ_PackValue(&result));
}

std::string FailureFrame(const ZQ_EException& failure) {
  return Frame(Kind::kFailure, ZQ_PackValue(&failure));
}

Hello DecodeHello(std::string_view body) {
  const ZQ_TDict dict = DecodeDict(body, "greeting");
  const std::uint32_t protocol = Entry<ZQ_TUInt32>(dict, "Protocol", "greeting");
  if (protocol != kProtocolVersion) {
    ProtocolError(
        ZQ_TString::Format("peer speaks protocol %d, this runtime %d", protocol, kProtocolVersion));
  }
  Hello hello;
  hello.name = Entry<ZQ_TString>(dict, "Name", "greeting");
  hello.instance = Entry<ZQ_TUInt16>(dict, "Instance", "greeting");
  hello.authenticate = Entry<ZQ_TBool>(dict, "Auth", "greeting");
  if (!hello.authenticate) return hello;
  hello.nonce = HexEntry(dict, "Nonce", zqm_auth::kNonceBytes, "greeting");
  const ZQ_TString& proves = Entry<ZQ_TString>(dict, "Proves", "greeting");
  if (proves == "identity") {
    hello.certificate =
        HexEntryUpTo(dict, "Certificate", zqm_identity::kMaxCertificateBytes, "greeting");
  } else if (!(proves == "key")) {
    ProtocolError("greeting's \"Proves\" is neither \"key\" nor \"identity\"");
  }
  return hello;
}

ZQ_TDict DecodeRequest(std::string_view body) {
  const ZQ_TAny value = Unpack(body, "request");
  ZQ_TDict request = DictBody(value, "request");
  Entry<ZQ_TString>(request, "M", "request");
  return request;
}

ZQ_TAny DecodeResult(std::string_view body) {
  return Unpack(body, "result");
}

ZQ_EException* DecodeFailure(std::string_view body) {
  ZQ_TAny value = Unpack(body, "failure");
  if (value.IsEmpty() || !value.HasSuperclass("ZQ_EException")) {
    ProtocolError(
        ZQ_TString::Format("failure carries a %s, not an exception", value.HeldClassName()));
  }
  std::unique_ptr<ZQ_IPackable> held = value.Release();
  auto* failure = static_cast<ZQ_EException*>(held->ZQ_DynamicInfo("ZQ_EException"));
  held.release();
  return failure;
}

ZQ_TString MethodOf(const ZQ_TDict& request) {
  const ZQ_TAny* method = request.Find("M");
  const ZQ_TString* text = method != nullptr ? method->As<ZQ_TString>() : nullptr;
  return text != nullptr ? *text : ZQ_TString();
}

}  // namespace zqm_wire
