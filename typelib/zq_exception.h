// ZQ_EException, the base of every exception of the system, and the
// library's own exception classes.
//
// An exception carries a message, optional data (any packable value), the
// source file and line of its throw site, and a stack trace (a list of texts,
// extended when an exception is carried from one process to another). The
// throw convention: construct, stamp the site with __PREPARE_FOR_THROW__,
// then throw through ZQ_Throw, which throws a copy of the exception's own
// class even when called through a reference to a base.
#pragma once

#include <cstring>

#include "typelib/zq_any.h"
#include "typelib/zq_list.h"
#include "typelib/zq_object.h"
#include "typelib/zq_string.h"

class ZQ_EException : public ZQ_TObject,
                      public virtual ZQ_IThrowable,
                      public virtual ZQ_IPackable,
                      public virtual ZQ_IPrintable {
 public:
  using ZQ_CastType = ZQ_EException;

  ZQ_EException();
  explicit ZQ_EException(const ZQ_TString& message);
  ZQ_EException(const ZQ_TString& message, const ZQ_TAny& data);
  ZQ_EException(const ZQ_EException& other);
  ZQ_EException& operator=(const ZQ_EException& other);
  ~ZQ_EException() override;

  bool Implements(const char* interfaceName) const override;
  virtual unsigned int ZQ_ExceptionLine() const;
  virtual const ZQ_TString& ZQ_ExceptionFile() const;
  virtual const ZQ_TList& ZQ_StackTrace() const;
  virtual const ZQ_TString& ZQ_Message() const;
  virtual ZQ_TString& ZQ_Message();
  virtual const ZQ_TAny& ZQ_Data() const;
  virtual ZQ_TAny& ZQ_Data();

  // Records the throw site and returns this exception, ready for ZQ_Throw.
  ZQ_EException& __PREPARE_FOR_THROW__(unsigned line, const char* file);

  // Appends a line to the stack trace (e.g. the remote call that carried it).
  void ZQ_AddTrace(const ZQ_TString& line);

  static const ZQ_TClass* ZQ_ClassObject();
  static const char* ZQ_ClassName();
  static ZQ_TObject* ZQ_Create();

  ZQ_TObject* ZQ_Object() override { return this; }
  void* ZQ_DynamicInfo(const char* className) const override;
  [[noreturn]] void ZQ_Throw() const override;
  void ZQ_Pack(ZQ_IPacking& packer) const override;
  void ZQ_Unpack(ZQ_IUnpacking& unpacker) override;
  ZQ_IPackable* ZQ_Clone() const override;
  bool ZQ_IsIdent(const ZQ_IPackable& other) const override;
  // "<class>[ at <file>:<line>][: <message>][ (data: <data>)]", then one
  // "; via <trace line>" per stack trace entry, all on one line (the texts
  // are written as they are; a caller that needs one line whatever they hold
  // escapes them, as the trace does).
  void PrintOn(std::ostream& out) const override;

 private:
  ZQ_TString message_;
  ZQ_TAny data_;
  ZQ_TString file_;
  unsigned line_ = 0;
  ZQ_TList stackTrace_;
};

// Declares an exception class derived from `Base` that adds no data: its class
// object (fetched from the registry at every use), creator, three
// constructors, and the operations that carry its class identity. Packing
// wraps the base's packing in a section named after the base.
#define ZQ_DECLARE_EXCEPTION_CLASS(Class, Base)                \
 public:                                                       \
  using ZQ_CastType = Class;                                   \
  Class() : Base() {}                                          \
  explicit Class(const ZQ_TString& message) : Base(message) {} \
  Class(const Class& other) : Base(other) {}                   \
  Class& operator=(const Class& other) {                       \
    Base::operator=(other);                                    \
    return *this;                                              \
  }                                                            \
  static const ZQ_TClass* ZQ_ClassObject();                    \
  static const char* ZQ_ClassName();                           \
  static ZQ_TObject* ZQ_Create();                              \
  ZQ_TObject* ZQ_Object() override;                            \
  void* ZQ_DynamicInfo(const char* className) const override;  \
  [[noreturn]] void ZQ_Throw() const override;                 \
  void ZQ_Pack(ZQ_IPacking& packer) const override;            \
  void ZQ_Unpack(ZQ_IUnpacking& unpacker) override;            \
  ZQ_IPackable* ZQ_Clone() const override;

#define ZQ_IMPLEMENT_EXCEPTION_CLASS(Class, Base)                                          \
  static ZQ_TClass* Class##_FetchClassObject() {                                           \
    return ZQ_TClass::GetClassObject(false, #Class, sizeof(Class), Base::ZQ_ClassObject(), \
                                     &Class::ZQ_Create, nullptr);                          \
  }                                                                                        \
  const ZQ_TClass* Class::ZQ_ClassObject() {                                               \
    ZQ_TClass* classObject = Class##_FetchClassObject();                                   \
    if (!classObject->inUse) classObject->inUse = true;                                    \
    return classObject;                                                                    \
  }                                                                                        \
  const char* Class::ZQ_ClassName() {                                                      \
    return ZQ_ClassObject()->Name();                                                       \
  }                                                                                        \
  ZQ_TObject* Class::ZQ_Create() {                                                         \
    return new Class();                                                                    \
  }                                                                                        \
  ZQ_TObject* Class::ZQ_Object() {                                                         \
    return this;                                                                           \
  }                                                                                        \
  void* Class::ZQ_DynamicInfo(const char* className) const {                               \
    ZQ_TClass* classObject = Class##_FetchClassObject();                                   \
    if (className == nullptr) {                                                            \
      if (!classObject->inUse) classObject->inUse = true;                                  \
      return classObject;                                                                  \
    }                                                                                      \
    if (std::strcmp(className, classObject->Name()) == 0) return const_cast<Class*>(this); \
    return Base::ZQ_DynamicInfo(className);                                                \
  }                                                                                        \
  void Class::ZQ_Throw() const {                                                           \
    throw Class(*this);                                                                    \
  }                                                                                        \
  void Class::ZQ_Pack(ZQ_IPacking& packer) const {                                         \
    packer.BeginClass(Base::ZQ_ClassName());                                               \
    Base::ZQ_Pack(packer);                                                                 \
    packer.EndClass(Base::ZQ_ClassName());                                                 \
  }                                                                                        \
  void Class::ZQ_Unpack(ZQ_IUnpacking& unpacker) {                                         \
    unpacker.BeginClass(Base::ZQ_ClassName());                                             \
    Base::ZQ_Unpack(unpacker);                                                             \
    unpacker.EndClass(Base::ZQ_ClassName());                                               \
  }                                                                                        \
  ZQ_IPackable* Class::ZQ_Clone() const {                                                  \
    return new Class(*this);                                                               \
  }

// A checked cast did not match: names the expected and the actual class and
// the site of the cast.
class ZQ_EBadCast : public ZQ_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQ_EBadCast, ZQ_EException)
};

// Packed data could not be unpacked: truncated, inconsistent, hostile. The
// message says what is wrong and at which byte.
class ZQ_EMalformed : public ZQ_EException {
  ZQ_DECLARE_EXCEPTION_CLASS(ZQ_EMalformed, ZQ_EException)
};

// Stamps the throw site of `exception` and throws it as its own class.
[[noreturn]] void ZQ_ThrowAt(ZQ_EException& exception, const char* file, unsigned line);
#define ZQ_THROW_AT(exception, file, line) ZQ_ThrowAt((exception), (file), (line))
