// The class registry: one class object per class name, for the whole process.
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "typelib/zq_object.h"

class ZQ_TClassRegistry {
 public:
  static ZQ_TClassRegistry& Instance() {
    // Never destroyed: class objects are asked for by objects that are
    // destroyed at process exit, in any order.
    static ZQ_TClassRegistry* const registry = new ZQ_TClassRegistry;
    return *registry;
  }

  ZQ_TClass* Get(bool lookupOnly, const char* name, unsigned objectSize,
                 const ZQ_TClass* superclass, ZQ_TClass::Creator creator,
                 ZQ_TClass::Initializer initializer) {
    if (name == nullptr) return nullptr;
    ZQ_TClass* classObject = nullptr;
    bool created = false;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      auto found = classes_.find(name);
      if (found != classes_.end()) {
        classObject = found->second;
        if (!lookupOnly && creator != nullptr && classObject->creator_.load() == nullptr) {
          classObject->creator_.store(creator);
        }
      } else if (!lookupOnly) {
        classObject = new ZQ_TClass(name, objectSize, superclass, creator);
        classes_.emplace(classObject->name_, classObject);
        created = true;
      }
    }
    // Outside the lock: an initializer may well ask for class objects itself.
    if (created && initializer != nullptr) initializer();
    return classObject;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, ZQ_TClass*> classes_;
};

ZQ_TClass::ZQ_TClass(const char* name, unsigned objectSize, const ZQ_TClass* superclass,
                     Creator creator)
    : name_(name), objectSize_(objectSize), superclass_(superclass), creator_(creator) {}

ZQ_TClass* ZQ_TClass::GetClassObject(bool lookupOnly, const char* name, unsigned objectSize,
                                     const ZQ_TClass* superclass, Creator creator,
                                     Initializer initializer) {
  return ZQ_TClassRegistry::Instance().Get(lookupOnly, name, objectSize, superclass, creator,
                                           initializer);
}

const ZQ_TClass* ZQ_TClass::Find(const char* name) {
  return GetClassObject(true, name, 0, nullptr, nullptr, nullptr);
}

bool ZQ_TClass::IsKindOf(const char* name) const {
  if (name == nullptr) return false;
  for (const ZQ_TClass* c = this; c != nullptr; c = c->superclass_) {
    if (std::strcmp(c->name_.c_str(), name) == 0) return true;
  }
  return false;
}

ZQ_TObject* ZQ_TClass::CreateObject() const {
  Creator creator = creator_.load();
  return creator != nullptr ? creator() : nullptr;
}
