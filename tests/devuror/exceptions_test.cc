// The middleware's exception classes: class identity, packing sections,
// cloning and throwing as their own class.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DEVUror/devuror.h"

namespace {

// Records the section calls of a packing, and what the exception's own
// fields write in between.
class RecordingPacker : public ZQ_IPacking {
 public:
  std::vector<std::string> calls;
  void BeginClass(const char* name) override { calls.push_back(std::string("begin ") + name); }
  void EndClass(const char* name) override { calls.push_back(std::string("end ") + name); }
  void PackBool(bool) override { Field(); }
  void PackUInt(std::uint64_t) override { Field(); }
  void PackText(std::string_view) override { Field(); }
  void PackCount(std::size_t) override { Field(); }
  void PackValue(const ZQ_IPackable*) override { Field(); }

 private:
  void Field() {
    if (calls.empty() || calls.back() != "fields") calls.push_back("fields");
  }
};

TEST(MiddlewareExceptions, ClassObjectsAreFetchedOnceAndMarkedInUse) {
  const ZQ_TClass* first = ZQM_ENoSuchServerMethod::ZQ_ClassObject();
  EXPECT_EQ(first, ZQM_ENoSuchServerMethod::ZQ_ClassObject());
  EXPECT_TRUE(first->inUse);
  EXPECT_STREQ("ZQM_ENoSuchServerMethod", ZQM_ENoSuchServerMethod::ZQ_ClassName());
  EXPECT_EQ(ZQM_EException::ZQ_ClassObject(), first->Superclass());
  EXPECT_EQ(ZQ_EException::ZQ_ClassObject(), ZQM_EException::ZQ_ClassObject()->Superclass());
}

TEST(MiddlewareExceptions, DynamicInfoAnswersOwnAndBaseNamesExactly) {
  ZQM_ENoSuchServerMethod method(ZQ_TString("Frobnicate"));
  EXPECT_EQ(ZQM_ENoSuchServerMethod::ZQ_ClassObject(), method.ZQ_DynamicInfo(nullptr));
  EXPECT_EQ(static_cast<void*>(&method), method.ZQ_DynamicInfo("ZQM_ENoSuchServerMethod"));
  EXPECT_EQ(static_cast<void*>(static_cast<ZQM_EException*>(&method)),
            method.ZQ_DynamicInfo("ZQM_EException"));
  EXPECT_EQ(static_cast<void*>(static_cast<ZQ_EException*>(&method)),
            method.ZQ_DynamicInfo("ZQ_EException"));
  EXPECT_EQ(nullptr, method.ZQ_DynamicInfo("zqm_enosuchservermethod"));

  ZQM_EException plain;
  EXPECT_EQ(nullptr, plain.ZQ_DynamicInfo("ZQM_ENoSuchServerMethod"));
  EXPECT_TRUE(method.HasSuperclass("ZQM_EException"));
  EXPECT_FALSE(plain.HasSuperclass("ZQM_ENoSuchServerMethod"));
}

TEST(MiddlewareExceptions, PackingNestsTheBaseSections) {
  RecordingPacker packer;
  ZQM_ENoSuchServerMethod(ZQ_TString("M")).ZQ_Pack(packer);
  const std::vector<std::string> nested = {"begin ZQM_EException", "begin ZQ_EException", "fields",
                                           "end ZQ_EException", "end ZQM_EException"};
  EXPECT_EQ(nested, packer.calls);

  RecordingPacker plainPacker;
  ZQM_EException(ZQ_TString("M")).ZQ_Pack(plainPacker);
  const std::vector<std::string> inner = {"begin ZQ_EException", "fields", "end ZQ_EException"};
  EXPECT_EQ(inner, plainPacker.calls);
}

TEST(MiddlewareExceptions, RoundTripKeepsClassMessageDataAndSite) {
  ZQM_ENoSuchServerMethod original(ZQ_TString("Frobnicate"));
  original.ZQ_Data() = ZQ_TAny(7u);
  original.__PREPARE_FOR_THROW__(42, "here.cc");
  ZQM_RegisterRuntimeClasses();
  const ZQ_TAny copy = ZQ_UnpackValue(ZQ_PackValue(&original));
  ASSERT_TRUE(copy.HasSuperclass("ZQM_ENoSuchServerMethod"));
  const auto& e = copy.DynamicCast<ZQM_ENoSuchServerMethod>(__FILE__, __LINE__);
  EXPECT_EQ(ZQ_TString("Frobnicate"), e.ZQ_Message());
  EXPECT_EQ(7u, e.ZQ_Data().DynamicCast<ZQ_TUInt32>(__FILE__, __LINE__));
  EXPECT_EQ(ZQ_TString("here.cc"), e.ZQ_ExceptionFile());
  EXPECT_EQ(42u, e.ZQ_ExceptionLine());
}

TEST(MiddlewareExceptions, ThrowThroughBaseReferenceThrowsOwnClass) {
  ZQM_ENoSuchServerMethod thrown(ZQ_TString("Nope"));
  const ZQ_EException& base = thrown.__PREPARE_FOR_THROW__(17, "site.cc");
  try {
    static_cast<const ZQ_IThrowable&>(base).ZQ_Throw();
    FAIL() << "ZQ_Throw returned";
  } catch (const ZQM_ENoSuchServerMethod& caught) {
    EXPECT_EQ(ZQ_TString("Nope"), caught.ZQ_Message());
    EXPECT_EQ(17u, caught.ZQ_ExceptionLine());
    EXPECT_EQ(ZQ_TString("site.cc"), caught.ZQ_ExceptionFile());
  }
  EXPECT_THROW(ZQ_THROW_AT(thrown, "x", 1), ZQM_EException);
  EXPECT_THROW(ZQ_THROW_AT(thrown, "x", 1), ZQ_EException);
}

TEST(MiddlewareExceptions, CloneAndCreateMakeObjectsOfTheSameClass) {
  ZQM_ENoSuchServerMethod original(ZQ_TString("M"));
  original.__PREPARE_FOR_THROW__(3, "f");
  std::unique_ptr<ZQ_IPackable> clone(original.ZQ_Clone());
  EXPECT_STREQ("ZQM_ENoSuchServerMethod", clone->ClassName());
  EXPECT_TRUE(clone->ZQ_IsIdent(original));
  std::unique_ptr<ZQ_TObject> created(ZQM_EException::ZQ_Create());
  EXPECT_STREQ("ZQM_EException", created->ClassName());
}

}  // namespace
