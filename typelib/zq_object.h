// The object model of the type library.
//
// Every library class is a ZQ_TObject: it has a class object (ZQ_TClass) in
// the process-wide class registry, answers questions about its class at run
// time, and can be narrowed by name with a checked cast. Values that cross the
// middleware are also ZQ_IPackable (packed and rebuilt by class name) and
// ZQ_IPrintable; exceptions are ZQ_IThrowable (thrown as their own class
// through a reference to a base).
//
// All interfaces derive virtually from ZQ_IInterface, so an object holds one
// ZQ_IInterface shared by ZQ_TObject and the interfaces it implements.
#pragma once

#include <atomic>
#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>

class ZQ_TObject;
class ZQ_IPacking;
class ZQ_IUnpacking;
class ZQ_TAny;

// A class object: the identity of one class in the registry. Class objects
// live for the whole process and are never destroyed or moved.
class ZQ_TClass {
 public:
  // Marks a class whose objects have been asked about in this process. Must
  // stay the first member: class code reads and sets it directly. Only ever
  // goes from false to true.
  std::atomic<bool> inUse{false};

  using Creator = ZQ_TObject* (*)();
  using Initializer = bool (*)();

  // Returns the class object registered under `name`, the same object at
  // every call with the same name. With `lookupOnly` false an unknown name is
  // registered with the given size, superclass, creator and initializer (the
  // initializer, when given, runs once, right after registration); a creator
  // given later fills in one that was missing. With `lookupOnly` true an
  // unknown name yields null. Thread-safe; usable during static
  // initialisation, before the library's hook has run.
  static ZQ_TClass* GetClassObject(bool lookupOnly, const char* name, unsigned objectSize,
                                   const ZQ_TClass* superclass, Creator creator,
                                   Initializer initializer);

  // The class object of `name`, or null when no such class is registered.
  static const ZQ_TClass* Find(const char* name);

  const char* Name() const { return name_.c_str(); }
  const ZQ_TClass* Superclass() const { return superclass_; }
  unsigned ObjectSize() const { return objectSize_; }

  // True when this class or one of its superclasses is named `name`.
  bool IsKindOf(const char* name) const;

  // A new object made by the class's creator (the caller owns it), or null
  // when the class has none.
  ZQ_TObject* CreateObject() const;

 private:
  friend class ZQ_TClassRegistry;
  ZQ_TClass(const char* name, unsigned objectSize, const ZQ_TClass* superclass, Creator creator);

  std::string name_;
  unsigned objectSize_;
  const ZQ_TClass* superclass_;
  std::atomic<Creator> creator_;
};

class ZQ_IInterface {
 public:
  virtual ZQ_TObject* ZQ_Object() = 0;
  // With a null name: the class object of the object's own class (as an
  // untyped pointer). With a name: this object as a pointer to the class or
  // interface of that name, or null when it is none of them.
  virtual void* ZQ_DynamicInfo(const char* className) const = 0;
  virtual const ZQ_TClass& ClassObject() const = 0;
  virtual const char* ClassName() const = 0;
  // Never throws: true when the object's class is `className` or derives
  // from it.
  virtual bool HasSuperclass(const char* className) const = 0;
  virtual bool HasInterface(const char* interfaceName) const;
  virtual ~ZQ_IInterface() = default;
  // What a checked cast to `className` yields: normally ZQ_DynamicInfo; a box
  // yields its plain value, a ZQ_TAny the cast of the value it holds.
  virtual void* ZQ_Cast(const char* className) const = 0;

  // Checked cast: the object as `className` (see ZQ_Cast). Never null: a
  // mismatch throws ZQ_EBadCast naming the expected class, the actual class,
  // `file` and `line`.
  void* DynamicCast(const char* className, const char* file, unsigned line) const;

  // Typed forms: T::ZQ_CastType is the class itself, or a box's plain value.
  template <class T>
  const typename T::ZQ_CastType& DynamicCast(const char* file, unsigned line) const {
    return *static_cast<const typename T::ZQ_CastType*>(
        DynamicCast(T::ZQ_ClassName(), file, line));
  }
  template <class T>
  typename T::ZQ_CastType& DynamicCast(const char* file, unsigned line) {
    return *static_cast<typename T::ZQ_CastType*>(DynamicCast(T::ZQ_ClassName(), file, line));
  }
};

class ZQ_TObject : public virtual ZQ_IInterface {
 public:
  using ZQ_CastType = ZQ_TObject;

  virtual bool Implements(const char* interfaceName) const;

  ZQ_TObject* ZQ_Object() override { return this; }
  void* ZQ_DynamicInfo(const char* className) const override;
  const ZQ_TClass& ClassObject() const override;
  const char* ClassName() const override;
  bool HasSuperclass(const char* className) const override;
  void* ZQ_Cast(const char* className) const override { return ZQ_DynamicInfo(className); }

  using ZQ_IInterface::DynamicCast;

  static const ZQ_TClass* ZQ_ClassObject();
  static const char* ZQ_ClassName();
};

class ZQ_IThrowable : public virtual ZQ_IInterface {
 public:
  // Throws a copy of this object, of its own class. Never returns.
  [[noreturn]] virtual void ZQ_Throw() const = 0;
};

class ZQ_IPrintable : public virtual ZQ_IInterface {
 public:
  virtual void PrintOn(std::ostream& out) const = 0;
};

std::ostream& operator<<(std::ostream& out, const ZQ_IPrintable& printable);

class ZQ_IPackable : public virtual ZQ_IInterface {
 public:
  virtual void ZQ_Pack(ZQ_IPacking& packer) const = 0;
  virtual void ZQ_Unpack(ZQ_IUnpacking& unpacker) = 0;
  // A new copy of the object; the caller owns it.
  virtual ZQ_IPackable* ZQ_Clone() const = 0;
  // Same class and equal value.
  virtual bool ZQ_IsIdent(const ZQ_IPackable& other) const = 0;
  // A new object that takes over this object's value (this one is left
  // empty); `storage` must be null. The caller owns the result.
  virtual ZQ_IPackable* ZQ_Move(void* storage);
  virtual ZQ_IPackable& operator=(ZQ_IUnpacking& unpacker);
  virtual const ZQ_TClass* ZQ_PackClassObject() const { return &ClassObject(); }
  virtual const char* ZQ_PackTypeID() const { return ClassName(); }

 protected:
  ZQ_IPackable() = default;
  ZQ_IPackable(const ZQ_IPackable&) = default;
  ZQ_IPackable& operator=(const ZQ_IPackable&) = default;
};

// Lists, dictionaries and trees: walked by ZQ_TConstIterator.
class ZQ_IIteratable : public virtual ZQ_IInterface {
 public:
  virtual std::size_t ZQ_IterCount() const = 0;
  // The key of entry `index` (a list's keys are its indexes, as ZQ_TUInt32,
  // made in `scratch`).
  virtual const ZQ_IPackable& ZQ_IterKey(std::size_t index, ZQ_TAny& scratch) const = 0;
  virtual const ZQ_TAny& ZQ_IterValue(std::size_t index) const = 0;
};

// Class boilerplate of the library's value classes: the class object, fetched
// once and then kept, the creator, and the run-time class answers.
#define ZQ_DECLARE_VALUE_CLASS(Class)                                   \
 public:                                                                \
  static const ZQ_TClass* ZQ_ClassObject();                             \
  static const char* ZQ_ClassName() { return #Class; }                  \
  static ZQ_TObject* ZQ_Create() { return new Class(); }                \
  ZQ_TObject* ZQ_Object() override { return this; }                     \
  void* ZQ_DynamicInfo(const char* className) const override;           \
  ZQ_IPackable* ZQ_Clone() const override { return new Class(*this); }  \
  ZQ_IPackable* ZQ_Move(void*) override { return new Class(std::move(*this)); }

#define ZQ_IMPLEMENT_VALUE_CLASS(Class)                                                      \
  const ZQ_TClass* Class::ZQ_ClassObject() {                                                 \
    static ZQ_TClass* const classObject = ZQ_TClass::GetClassObject(                         \
        false, #Class, sizeof(Class), ZQ_TObject::ZQ_ClassObject(), &Class::ZQ_Create, nullptr); \
    return classObject;                                                                      \
  }                                                                                          \
  void* Class::ZQ_DynamicInfo(const char* className) const {                                 \
    ZQ_TClass* classObject = const_cast<ZQ_TClass*>(ZQ_ClassObject());                       \
    if (className == nullptr) {                                                              \
      if (!classObject->inUse) classObject->inUse = true;                                    \
      return classObject;                                                                    \
    }                                                                                        \
    if (std::strcmp(className, #Class) == 0) return const_cast<Class*>(this);                \
    return ZQ_TObject::ZQ_DynamicInfo(className);                                            \
  }
