// The readers of etcd's answers: whatever a member sends is read, or
// refused by a std::exception, within bounded stack and memory.
#include "Almanac/Server/etcd_answers.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace almanac::etcd;

std::string Nested(std::size_t levels) {
  return std::string(levels, '[') + std::string(levels, ']');
}

TEST(EtcdAnswers, ReadsAWatchInPiecesAndRefusesDeepNestingWithoutRecursion) {
  unsigned connected = 0;
  std::vector<WatchBatch> batches;
  const std::function<void()> onConnected = [&] { ++connected; };
  const std::function<void(WatchBatch &&)> onBatch = [&](WatchBatch&& batch) {
    batches.push_back(std::move(batch));
  };
  WatchStream watch(1u << 30, onConnected, onBatch);
  const std::string messages =
      R"({"result":{"header":{"revision":"7"},"created":true}})"
      "\n"
      R"({"result":{"header":{"revision":"8"},"events":[{"type":"DELETE","kv":{"key":"YQ==","mod_revision":"8"}}]}})"
      "\n";
  for (const char& byte : messages)
    ASSERT_TRUE(watch.Accept(&byte, 1)) << watch.Problem();
  EXPECT_EQ(1u, connected);
  ASSERT_EQ(1u, batches.size());
  EXPECT_EQ(8, batches[0].revision);
  ASSERT_EQ(1u, batches[0].events.size());
  EXPECT_TRUE(batches[0].events[0].deleted);
  EXPECT_EQ("a", batches[0].events[0].kv.key);

  // A member's error a million levels deep: printing it for the message
  // used to recurse once per level and overflow the stack, and reading any
  // such answer took some 40 times its size in memory.
  const std::string error = R"({"error":)" + Nested(1000000) + "}\n";
  EXPECT_FALSE(watch.Accept(error.data(), error.size()));
  EXPECT_NE(std::string::npos, watch.Problem().find("nested deeper than 16 levels"))
      << watch.Problem();
  EXPECT_THROW(ReadRangeAnswer(R"({"header":{"revision":"3"},"kvs":)" + Nested(1000000) + "}"),
               std::runtime_error);
  EXPECT_EQ(200u, ReadErrorMessage(Nested(1000000)).size());
}

}  // namespace
