// The object model: class registry, run-time class questions, checked casts,
// the exception classes' throw and copy conventions, the lock and host facts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <latch>
#include <sstream>
#include <thread>
#include <vector>

#include "typelib/dodived.h"

namespace {

using ::testing::HasSubstr;

// A class that no other test asks about, to watch its in-use flag change.
class ZQ_TTestMarker : public ZQ_TObject, public virtual ZQ_IPackable {
  ZQ_DECLARE_VALUE_CLASS(ZQ_TTestMarker)

 public:
  void ZQ_Pack(ZQ_IPacking&) const override {}
  void ZQ_Unpack(ZQ_IUnpacking&) override {}
  bool ZQ_IsIdent(const ZQ_IPackable&) const override { return false; }
};

ZQ_IMPLEMENT_VALUE_CLASS(ZQ_TTestMarker)

// Runs `body`, which must throw E, and returns what it threw.
template <class E, class Body>
E Thrown(Body body) {
  try {
    body();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "nothing thrown";
  return E();
}

TEST(ClassRegistry, SameObjectForSameNameFromManyThreads) {
  constexpr int kThreads = 8, kNames = 200;
  std::vector<std::vector<const ZQ_TClass*>> seen(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kNames; ++i) {
        const std::string name = "ZQ_THammered" + std::to_string(i);
        seen[t].push_back(
            ZQ_TClass::GetClassObject(false, name.c_str(), 8, nullptr, nullptr, nullptr));
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  for (int i = 0; i < kNames; ++i) {
    const ZQ_TClass* registered = ZQ_TClass::Find(("ZQ_THammered" + std::to_string(i)).c_str());
    ASSERT_NE(registered, nullptr);
    for (int t = 0; t < kThreads; ++t)
      EXPECT_EQ(seen[t][i], registered) << i << ' ' << t;
  }

  EXPECT_EQ(ZQ_TClass::Find("ZQ_TNoSuchClass"), nullptr);
  EXPECT_EQ(ZQ_TClass::Find(nullptr), nullptr);
  ZQ_TString::ZQ_ClassObject();
  EXPECT_EQ(ZQ_TClass::Find("zq_tstring"), nullptr);
}

TEST(ClassRegistry, InUseFlagIsTheFirstMemberAndSetByAsking) {
  const ZQ_TClass* classObject = ZQ_TTestMarker::ZQ_ClassObject();
  // Class code outside this library reads the flag at the class object's
  // address.
  EXPECT_EQ(static_cast<const void*>(&classObject->inUse), static_cast<const void*>(classObject));
  EXPECT_FALSE(classObject->inUse);
  const ZQ_TTestMarker marker;
  EXPECT_EQ(marker.ZQ_DynamicInfo(nullptr), classObject);
  EXPECT_TRUE(classObject->inUse);
}

TEST(ClassQuestions, HasSuperclassAndDynamicInfo) {
  ZQ_EBadCast badCast;
  EXPECT_TRUE(badCast.HasSuperclass("ZQ_EException"));
  EXPECT_TRUE(badCast.HasSuperclass("ZQ_TObject"));
  EXPECT_FALSE(badCast.HasSuperclass("zq_eexception"));
  EXPECT_FALSE(ZQ_EException().HasSuperclass("ZQ_EBadCast"));

  const ZQ_TAny empty;
  const ZQ_TAny holding(ZQ_TUInt16(3));
  for (const ZQ_IInterface* object :
       std::vector<const ZQ_IInterface*>{&badCast, &empty, &holding}) {
    EXPECT_NO_THROW(EXPECT_FALSE(object->HasSuperclass(nullptr)));
    EXPECT_NO_THROW(EXPECT_FALSE(object->HasSuperclass("ZQ_TNoSuchClass")));
  }
  // A ZQ_TAny answers for what it holds.
  EXPECT_TRUE(holding.HasSuperclass("ZQ_TUInt16"));
  EXPECT_FALSE(holding.HasSuperclass("ZQ_TUInt32"));
  EXPECT_TRUE(ZQ_TAny(badCast).HasSuperclass("ZQ_EException"));

  EXPECT_EQ(badCast.ZQ_DynamicInfo(nullptr), ZQ_TClass::Find("ZQ_EBadCast"));
  EXPECT_EQ(badCast.ZQ_DynamicInfo("ZQ_EBadCast"), &badCast);
  EXPECT_EQ(badCast.ZQ_DynamicInfo("zq_ebadcast"), nullptr);
}

TEST(DynamicCast, YieldsTheObjectOrThePlainValueOfABox) {
  ZQ_TList list;
  ZQ_TObject& object = list;
  const ZQ_IInterface& constInterface = list;
  EXPECT_EQ(&object.DynamicCast<ZQ_TList>(__FILE__, __LINE__), &list);
  EXPECT_EQ(&constInterface.DynamicCast<ZQ_TList>(__FILE__, __LINE__), &list);
  object.DynamicCast<ZQ_TList>(__FILE__, __LINE__).Append(1);
  EXPECT_EQ(list.Count(), 1u);

  ZQ_TUInt32 big(4294967295u);
  EXPECT_EQ(big.DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 4294967295u);
  EXPECT_TRUE(ZQ_TBool(true).DynamicCast<ZQ_TBool>(__FILE__, __LINE__));
  // A ZQ_TAny is transparent to casts.
  const ZQ_TAny port(ZQ_TUInt16(4711));
  EXPECT_EQ(port.DynamicCast<ZQ_TUInt16>(__FILE__, __LINE__), 4711);
  EXPECT_EQ(&port.DynamicCast<ZQ_TAny>(__FILE__, __LINE__), &port);
}

TEST(DynamicCast, MismatchThrowsBadCastNamingClassesAndSite) {
  const ZQ_TString text("x");
  const auto failure = Thrown<ZQ_EBadCast>([&] { text.DynamicCast<ZQ_TList>("caller.cc", 77); });
  EXPECT_THAT(failure.ZQ_Message().Text(), HasSubstr("expected ZQ_TList, found ZQ_TString"));
  EXPECT_EQ(failure.ZQ_ExceptionFile(), "caller.cc");
  EXPECT_EQ(failure.ZQ_ExceptionLine(), 77u);
  EXPECT_THROW(text.DynamicCast<ZQ_TDict>(__FILE__, __LINE__), ZQ_EException);

  // Through a ZQ_TAny the message names the held class.
  const ZQ_TAny number(ZQ_TUInt32(70000));
  const auto held = Thrown<ZQ_EBadCast>([&] { number.DynamicCast<ZQ_TUInt16>("c.cc", 5); });
  EXPECT_THAT(held.ZQ_Message().Text(), HasSubstr("expected ZQ_TUInt16, found ZQ_TUInt32"));
  EXPECT_THROW(number.DynamicCast<ZQ_TBool>(__FILE__, __LINE__), ZQ_EBadCast);
  EXPECT_THROW(ZQ_TAny().DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), ZQ_EBadCast);
}

TEST(Exceptions, ConstructAssignAndStamp) {
  const ZQ_EException withData(ZQ_TString("no route"), ZQ_TAny("host-b"));
  EXPECT_EQ(withData.ZQ_Message(), "no route");
  EXPECT_EQ(withData.ZQ_Data().DynamicCast<ZQ_TString>(__FILE__, __LINE__), "host-b");

  ZQ_EMalformed malformed(ZQ_TString("bad"));
  EXPECT_EQ(&malformed.__PREPARE_FOR_THROW__(12, "unpack.cc"), &malformed);
  ZQ_EMalformed assigned;
  assigned = malformed;
  EXPECT_EQ(assigned.ZQ_Message(), "bad");
  EXPECT_EQ(assigned.ZQ_ExceptionFile(), "unpack.cc");
  EXPECT_EQ(assigned.ZQ_ExceptionLine(), 12u);

  // Unwrapping a cause carried as data: the source lives in the target.
  ZQ_EException outer(ZQ_TString("outer"), ZQ_TAny(ZQ_EException(ZQ_TString("cause"), 1)));
  outer = outer.ZQ_Data().DynamicCast<ZQ_EException>(__FILE__, __LINE__);
  EXPECT_EQ(outer.ZQ_Message(), "cause");
  EXPECT_EQ(outer.ZQ_Data().DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__), 1u);
}

TEST(Exceptions, ThrowThroughBaseReferenceKeepsTheClass) {
  ZQ_EBadCast badCast(ZQ_TString("narrowing"));
  badCast.__PREPARE_FOR_THROW__(3, "here.cc");
  const ZQ_EException& base = badCast;
  const auto caught = Thrown<ZQ_EBadCast>([&] { base.ZQ_Throw(); });
  EXPECT_EQ(caught.ZQ_Message(), "narrowing");
  EXPECT_EQ(caught.ZQ_ExceptionLine(), 3u);
  EXPECT_THROW(base.ZQ_Throw(), ZQ_EException);

  ZQ_EException plain(ZQ_TString("plain"));
  const auto thrown = Thrown<ZQ_EException>([&] { ZQ_THROW_AT(plain, "there.cc", 9); });
  EXPECT_STREQ(thrown.ClassName(), "ZQ_EException");
  EXPECT_EQ(thrown.ZQ_ExceptionFile(), "there.cc");
}

TEST(Exceptions, CloneKeepsEverythingAndPrintShowsIt) {
  ZQ_EBadCast original(ZQ_TString("expected ZQ_TList"));
  original.ZQ_Data() = ZQ_TAny("P1");
  original.__PREPARE_FOR_THROW__(31, "client.cc");
  original.ZQ_AddTrace("Call on host-b");

  std::unique_ptr<ZQ_IPackable> clone(original.ZQ_Clone());
  EXPECT_STREQ(clone->ClassName(), "ZQ_EBadCast");
  EXPECT_TRUE(clone->ZQ_IsIdent(original));
  EXPECT_FALSE(ZQ_EException(original).ZQ_IsIdent(original));  // same fields, other class
  std::ostringstream out;
  out << clone->DynamicCast<ZQ_EBadCast>(__FILE__, __LINE__);
  EXPECT_EQ(out.str(),
            "ZQ_EBadCast at client.cc:31: expected ZQ_TList (data: \"P1\"); via Call on host-b");
}

TEST(Event, IsReentrantAndExcludesOtherThreads) {
  ZQ_TEvent event;
  const auto otherThreadGetsIt = [&event] {
    bool got = false;
    std::thread([&] {
      got = event.TryLock();
      if (got) event.Unlock();
    }).join();
    return got;
  };
  event.Lock();
  {
    ZQ_TLockGuard again(event);
    EXPECT_FALSE(otherThreadGetsIt());
  }
  EXPECT_FALSE(otherThreadGetsIt());
  event.Unlock();
  EXPECT_TRUE(otherThreadGetsIt());
}

TEST(Socket, HostNameAndLocalHosts) {
  char name[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(ZQ_TSocket::HostName(false), name);
  for (const char* local : {"", "localhost", "127.0.0.1", "127.3.2.1", "::1"}) {
    EXPECT_TRUE(ZQ_TSocket::IsLocalHost(ZQ_TString(local))) << local;
  }
  EXPECT_TRUE(ZQ_TSocket::IsLocalHost(ZQ_TString(name)));
  for (const char* remote : {"10.1.2.3", "128.0.0.1", "host.invalid"}) {
    EXPECT_FALSE(ZQ_TSocket::IsLocalHost(ZQ_TString(remote))) << remote;
  }
}

}  // namespace
