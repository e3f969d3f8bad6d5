// The daemon's state file writer: snapshots submitted faster than the disk
// takes them are coalesced, the last one always reaches the file with the
// operator's marks, and a write that fails is reported with its cause.
#include "zqmd/state_writer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "tests/support/child_process.h"
#include "typelib/dodived.h"

namespace {

std::vector<zqmd::SavedInstance> Snapshot(unsigned instances) {
  std::vector<zqmd::SavedInstance> snapshot;
  for (unsigned i = 0; i < instances; ++i) {
    zqmd::SavedInstance saved;
    saved.name = "Sample";
    saved.instance = static_cast<unsigned short>(i);
    saved.pid = static_cast<pid_t>(1000 + i);
    saved.state = "running";
    saved.startTicks = 1 + i;
    snapshot.push_back(saved);
  }
  return snapshot;
}

TEST(StateWriter, CoalescesSnapshotsAndEndsWithTheLastOneWritten) {
  zq_test::TempDir dir;
  const std::string path = dir.File("zqmd.state");
  std::atomic<unsigned> writes{0};
  std::mutex mutex;
  std::string lastProblem = "never written";
  {
    zqmd::StateWriter writer(path, [&](const std::string& problem) {
      ++writes;
      std::lock_guard<std::mutex> lock(mutex);
      lastProblem = problem;
    });
    writer.SetOperatorDown({{"Billing", 42}});
    for (unsigned n = 1; n <= 200; ++n)
      writer.Submit(Snapshot(n));
  }
  EXPECT_EQ("", lastProblem);
  EXPECT_GE(writes.load(), 1u);
  EXPECT_LT(writes.load(), 200u) << "every snapshot was written: nothing was coalesced";
  std::string problem;
  const std::vector<zqmd::SavedInstance> saved =
      zqmd::LoadState(path, problem).value_or(std::vector<zqmd::SavedInstance>{});
  EXPECT_EQ("", problem);
  ASSERT_EQ(200u, saved.size());  // the operator's mark is no instance
  EXPECT_EQ(199, saved.back().instance);
  const std::vector<zqmd::OperatorDown> down = zqmd::LoadOperatorDown(path, problem);
  ASSERT_EQ(1u, down.size());
  EXPECT_EQ("Billing", down[0].name);
  EXPECT_EQ(42, down[0].since);
}

TEST(StateWriter, ReportsAWriteThatFailsWithItsCause) {
  zq_test::TempDir dir;
  std::string lastProblem;
  {
    zqmd::StateWriter writer(dir.File("missing/zqmd.state"),
                             [&](const std::string& problem) { lastProblem = problem; });
    writer.Submit(Snapshot(1));
  }
  EXPECT_NE(std::string::npos, lastProblem.find("missing/zqmd.state")) << lastProblem;
  EXPECT_NE(std::string::npos, lastProblem.find("No such file")) << lastProblem;
}

TEST(StateFile, LeavesOutEntriesWhoseNumbersDoNotFit) {
  const ZQ_TAny saved = ZQ_UnpackValue(zqmd::EncodeState(Snapshot(1)));
  const ZQ_TDict good = *saved.As<ZQ_TList>()->begin()->As<ZQ_TDict>();
  ZQ_TList entries;
  entries.Append(ZQ_TAny(good));
  // A port beyond 16 bits was cut to one the instance never had, and times
  // with trailing text or a sign were read as far as they went.
  for (const auto& [field, value] : {std::pair<const char*, ZQ_TAny>{"Port", ZQ_TUInt32(70000)},
                                     {"Started", ZQ_TString("1700000000x")},
                                     {"StartTicks", ZQ_TString("-1")}}) {
    ZQ_TDict bad = good;
    bad.Set(field, value);
    entries.Append(ZQ_TAny(bad));
  }
  std::string problem;
  const std::vector<zqmd::SavedInstance> loaded =
      zqmd::DecodeState(ZQ_PackValue(&entries), "zqmd.state", problem);
  EXPECT_EQ("", problem);
  EXPECT_EQ(Snapshot(1), loaded);
}

// Each write goes to the spare beside the file, which then trades names
// with it: no file is created or deleted per write, the previous content
// stays one write behind, and a spare planted as a link or shared with
// another name is replaced, never written through.
TEST(StateFile, WritesThroughAReusedSpareThatIsNeverFollowed) {
  zq_test::TempDir dir;
  const std::string state = dir.File("zqmd.state");
  const std::string spare = state + ".new";
  std::string problem;
  ASSERT_TRUE(zqmd::SaveState(state, Snapshot(1), {}, problem)) << problem;
  EXPECT_FALSE(std::filesystem::exists(spare));
  ASSERT_TRUE(zqmd::SaveState(state, Snapshot(2), {}, problem)) << problem;
  struct stat first {};
  ASSERT_EQ(0, stat(spare.c_str(), &first));
  ASSERT_TRUE(zqmd::SaveState(state, Snapshot(3), {}, problem)) << problem;
  struct stat second {};
  ASSERT_EQ(0, stat(state.c_str(), &second));
  EXPECT_EQ(first.st_ino, second.st_ino) << "the spare was not the one written";
  EXPECT_EQ(Snapshot(3),
            zqmd::LoadState(state, problem).value_or(std::vector<zqmd::SavedInstance>{}));
  EXPECT_EQ(Snapshot(2),
            zqmd::LoadState(spare, problem).value_or(std::vector<zqmd::SavedInstance>{}));

  dir.Write("precious", "keep me\n");
  for (const bool link : {true, false}) {
    std::filesystem::remove(spare);
    if (link) {
      std::filesystem::create_symlink(dir.File("precious"), spare);
    } else {
      std::filesystem::create_hard_link(dir.File("precious"), spare);
    }
    ASSERT_TRUE(zqmd::SaveState(state, Snapshot(link ? 4 : 5), {}, problem)) << problem;
    std::ifstream kept(dir.File("precious"));
    EXPECT_EQ("keep me\n", std::string(std::istreambuf_iterator<char>(kept), {}));
    EXPECT_EQ(Snapshot(link ? 4 : 5),
              zqmd::LoadState(state, problem).value_or(std::vector<zqmd::SavedInstance>{}));
  }
}

}  // namespace
