// The service's initialisation hook with counting stand-ins for the
// libraries' hooks. The hook remembers a success for the life of the
// process, so the whole sequence is one test (ctest runs it in a process of
// its own, and no other test of this program calls the hook).
#include <gtest/gtest.h>

#include "Custodel/Private/Source/custodel.h"

namespace {

int gTypeLibraryCalls = 0;
int gMiddlewareCalls = 0;
bool gTypeLibraryResult = true;
bool gMiddlewareResult = true;

bool CountingTypeLibrary() {
  ++gTypeLibraryCalls;
  return gTypeLibraryResult;
}

bool CountingMiddleware() {
  ++gMiddlewareCalls;
  return gMiddlewareResult;
}

class ModuleHook : public ::testing::Test {
 protected:
  void SetUp() override { gLibraryHooks = {&CountingTypeLibrary, &CountingMiddleware}; }
  void TearDown() override { gLibraryHooks = saved_; }

  // Calls the hook; returns its result and how often each library's hook
  // was called by it.
  std::tuple<bool, int, int> Call(bool typeLibraryResult, bool middlewareResult) {
    gTypeLibraryResult = typeLibraryResult;
    gMiddlewareResult = middlewareResult;
    gTypeLibraryCalls = gMiddlewareCalls = 0;
    const bool result = __ZQ_INITIALIZATION_FUNCTION_custodel__();
    return {result, gTypeLibraryCalls, gMiddlewareCalls};
  }

 private:
  const CustodelLibraryHooks saved_ = gLibraryHooks;
};

TEST_F(ModuleHook, StopsAtTheFirstFailureRetriesBothAndRemembersOnlySuccess) {
  // The middleware needs the type library: it is not tried after a failure.
  EXPECT_EQ(std::make_tuple(false, 1, 0), Call(false, true));
  // A failure is not remembered: both are tried again.
  EXPECT_EQ(std::make_tuple(false, 1, 1), Call(true, false));
  EXPECT_EQ(std::make_tuple(true, 1, 1), Call(true, true));
  // A success is: neither is called again, whatever they would answer now.
  EXPECT_EQ(std::make_tuple(true, 0, 0), Call(true, true));
  EXPECT_EQ(std::make_tuple(true, 0, 0), Call(false, false));
}

}  // namespace
