#include "typelib/zq_object.h"

#include <cstring>
#include <ostream>

#include "typelib/zq_any.h"
#include "typelib/zq_exception.h"

namespace {

// The interfaces answer to their names through the C++ object model; classes
// answer to theirs through their class objects.
void* InterfaceByName(const ZQ_TObject* self, const char* name) {
  // Most questions name a class (is this a ZQ_TAny?), and every interface's
  // name starts so: one comparison answers them instead of five.
  if (std::strncmp(name, "ZQ_I", 4) != 0) return nullptr;
  auto* object = const_cast<ZQ_TObject*>(self);
  if (std::strcmp(name, "ZQ_IInterface") == 0) return static_cast<ZQ_IInterface*>(object);
  if (std::strcmp(name, "ZQ_IPackable") == 0) return dynamic_cast<ZQ_IPackable*>(object);
  if (std::strcmp(name, "ZQ_IPrintable") == 0) return dynamic_cast<ZQ_IPrintable*>(object);
  if (std::strcmp(name, "ZQ_IThrowable") == 0) return dynamic_cast<ZQ_IThrowable*>(object);
  if (std::strcmp(name, "ZQ_IIteratable") == 0) return dynamic_cast<ZQ_IIteratable*>(object);
  return nullptr;
}

}  // namespace

bool ZQ_IInterface::HasInterface(const char* interfaceName) const {
  return interfaceName != nullptr && ZQ_DynamicInfo(interfaceName) != nullptr;
}

void* ZQ_IInterface::DynamicCast(const char* className, const char* file, unsigned line) const {
  void* result = className != nullptr ? ZQ_Cast(className) : nullptr;
  if (result != nullptr) return result;
  const auto* any = dynamic_cast<const ZQ_TAny*>(this);
  const char* actual = any != nullptr ? any->HeldClassName() : ClassName();
  ZQ_EBadCast failure(ZQ_TString::Format("bad cast: expected %s, found %s at %s:%d",
                                         className ? className : "(null)", actual,
                                         file ? file : "?", line));
  ZQ_THROW_AT(failure, file ? file : "", line);
}

const ZQ_TClass* ZQ_TObject::ZQ_ClassObject() {
  static ZQ_TClass* const classObject =
      ZQ_TClass::GetClassObject(false, "ZQ_TObject", sizeof(ZQ_TObject), nullptr, nullptr, nullptr);
  return classObject;
}

const char* ZQ_TObject::ZQ_ClassName() {
  return "ZQ_TObject";
}

void* ZQ_TObject::ZQ_DynamicInfo(const char* className) const {
  if (className == nullptr) {
    auto* classObject = const_cast<ZQ_TClass*>(ZQ_ClassObject());
    if (!classObject->inUse) classObject->inUse = true;
    return classObject;
  }
  if (std::strcmp(className, "ZQ_TObject") == 0) return const_cast<ZQ_TObject*>(this);
  return InterfaceByName(this, className);
}

bool ZQ_TObject::Implements(const char* interfaceName) const {
  return HasInterface(interfaceName);
}

const ZQ_TClass& ZQ_TObject::ClassObject() const {
  return *static_cast<const ZQ_TClass*>(ZQ_DynamicInfo(nullptr));
}

const char* ZQ_TObject::ClassName() const {
  return ClassObject().Name();
}

bool ZQ_TObject::HasSuperclass(const char* className) const {
  return className != nullptr && ClassObject().IsKindOf(className);
}

ZQ_IPackable* ZQ_IPackable::ZQ_Move(void*) {
  return ZQ_Clone();
}

ZQ_IPackable& ZQ_IPackable::operator=(ZQ_IUnpacking& unpacker) {
  ZQ_Unpack(unpacker);
  return *this;
}

std::ostream& operator<<(std::ostream& out, const ZQ_IPrintable& printable) {
  printable.PrintOn(out);
  return out;
}
