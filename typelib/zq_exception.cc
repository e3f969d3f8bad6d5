#include "typelib/zq_exception.h"

#include <ostream>

#include "typelib/zq_packing.h"

ZQ_EException::ZQ_EException() = default;

ZQ_EException::ZQ_EException(const ZQ_TString& message) : message_(message) {}

ZQ_EException::ZQ_EException(const ZQ_TString& message, const ZQ_TAny& data)
    : message_(message), data_(data) {}

ZQ_EException::ZQ_EException(const ZQ_EException& other)
    : ZQ_TObject(),
      message_(other.message_),
      data_(other.data_),
      file_(other.file_),
      line_(other.line_),
      stackTrace_(other.stackTrace_) {}

ZQ_EException& ZQ_EException::operator=(const ZQ_EException& other) {
  // `other` may be held in our own data (a cause being unwrapped): copy it
  // whole before the data it lives in is replaced.
  ZQ_EException copy(other);
  message_ = std::move(copy.message_);
  data_ = std::move(copy.data_);
  file_ = std::move(copy.file_);
  line_ = copy.line_;
  stackTrace_ = std::move(copy.stackTrace_);
  return *this;
}

ZQ_EException::~ZQ_EException() = default;

bool ZQ_EException::Implements(const char* interfaceName) const {
  return ZQ_TObject::Implements(interfaceName);
}

unsigned int ZQ_EException::ZQ_ExceptionLine() const {
  return line_;
}
const ZQ_TString& ZQ_EException::ZQ_ExceptionFile() const {
  return file_;
}
const ZQ_TList& ZQ_EException::ZQ_StackTrace() const {
  return stackTrace_;
}
const ZQ_TString& ZQ_EException::ZQ_Message() const {
  return message_;
}
ZQ_TString& ZQ_EException::ZQ_Message() {
  return message_;
}
const ZQ_TAny& ZQ_EException::ZQ_Data() const {
  return data_;
}
ZQ_TAny& ZQ_EException::ZQ_Data() {
  return data_;
}

ZQ_EException& ZQ_EException::__PREPARE_FOR_THROW__(unsigned line, const char* file) {
  line_ = line;
  file_ = file;
  return *this;
}

void ZQ_EException::ZQ_AddTrace(const ZQ_TString& line) {
  stackTrace_.Append(ZQ_TAny(line));
}

static ZQ_TClass* FetchExceptionClassObject() {
  return ZQ_TClass::GetClassObject(false, "ZQ_EException", sizeof(ZQ_EException),
                                   ZQ_TObject::ZQ_ClassObject(), &ZQ_EException::ZQ_Create,
                                   nullptr);
}

const ZQ_TClass* ZQ_EException::ZQ_ClassObject() {
  ZQ_TClass* classObject = FetchExceptionClassObject();
  if (!classObject->inUse) classObject->inUse = true;
  return classObject;
}

const char* ZQ_EException::ZQ_ClassName() {
  return ZQ_ClassObject()->Name();
}

ZQ_TObject* ZQ_EException::ZQ_Create() {
  return new ZQ_EException();
}

void* ZQ_EException::ZQ_DynamicInfo(const char* className) const {
  ZQ_TClass* classObject = FetchExceptionClassObject();
  if (className == nullptr) {
    if (!classObject->inUse) classObject->inUse = true;
    return classObject;
  }
  if (std::strcmp(className, classObject->Name()) == 0) return const_cast<ZQ_EException*>(this);
  return ZQ_TObject::ZQ_DynamicInfo(className);
}

void ZQ_EException::ZQ_Throw() const {
  throw ZQ_EException(*this);
}

void ZQ_EException::ZQ_Pack(ZQ_IPacking& packer) const {
  packer.PackText(message_.Text());
  packer.PackValue(data_.Value());
  packer.PackText(file_.Text());
  packer.PackUInt(line_);
  stackTrace_.ZQ_Pack(packer);
}

void ZQ_EException::ZQ_Unpack(ZQ_IUnpacking& unpacker) {
  message_ = ZQ_TString(unpacker.UnpackText("exception message"));
  data_ = ZQ_TAny(unpacker.UnpackValue());
  file_ = ZQ_TString(unpacker.UnpackText("exception file"));
  line_ = static_cast<unsigned>(unpacker.UnpackUInt(0xFFFFFFFFu, "exception line"));
  stackTrace_.ZQ_Unpack(unpacker);
}

ZQ_IPackable* ZQ_EException::ZQ_Clone() const {
  return new ZQ_EException(*this);
}

bool ZQ_EException::ZQ_IsIdent(const ZQ_IPackable& other) const {
  if (std::strcmp(other.ClassName(), ClassName()) != 0) return false;
  const auto& e = *static_cast<const ZQ_EException*>(other.ZQ_DynamicInfo("ZQ_EException"));
  return e.message_ == message_ && e.data_.ZQ_IsIdent(data_) && e.file_ == file_ &&
         e.line_ == line_ && e.stackTrace_.ZQ_IsIdent(stackTrace_);
}

void ZQ_EException::PrintOn(std::ostream& out) const {
  out << ClassName();
  if (!file_.IsEmpty()) out << " at " << file_.Text() << ':' << line_;
  if (!message_.IsEmpty()) out << ": " << message_.Text();
  if (!data_.IsEmpty()) {
    out << " (data: ";
    ZQ_PrintElement(out, data_);
    out << ')';
  }
  // Every entry on the same line: a report of a failure that crossed servers
  // stays one line in a log.
  for (const ZQ_TAny& line : stackTrace_)
    out << "; via " << line;
}

void ZQ_ThrowAt(ZQ_EException& exception, const char* file, unsigned line) {
  exception.__PREPARE_FOR_THROW__(line, file).ZQ_Throw();
  __builtin_unreachable();  // ZQ_Throw always throws; the compiler cannot see through the call
}

ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQ_EBadCast, ZQ_EException)
ZQ_IMPLEMENT_EXCEPTION_CLASS(ZQ_EMalformed, ZQ_EException)
