// The Debian package that cpack makes of the build: what it holds, where,
// and what it declares.
#include <filesystem>
#include <sstream>

#include "middleware/middleware_helpers.h"

namespace {

using namespace std::chrono_literals;
using zq_test::Contains;
using zq_test::RunToEnd;

TEST(PackageTest, DebianPackageHoldsTheInstallationUnderUsrAndEtc) {
  zq_test::TempDir out;
  const zq_test::ProgramRun made = RunToEnd(
      {ZQ_CPACK, "-G", "DEB", "--config", ZQ_BUILD_DIR "/CPackConfig.cmake", "-B", out.Path()}, {},
      5min);
  ASSERT_EQ(0, made.status) << made.output;
  std::string package;
  for (const auto& entry : std::filesystem::directory_iterator(out.Path()))
    if (entry.path().extension() == ".deb") package = entry.path();
  ASSERT_FALSE(package.empty()) << made.output;

  const zq_test::ProgramRun contents = RunToEnd({ZQ_DPKG_DEB, "--contents", package});
  ASSERT_EQ(0, contents.status) << contents.output;
  for (const char* file : {"./usr/bin/zqmd",
                           "./usr/bin/almanac",
                           "./usr/bin/custodel",
                           "./usr/bin/zqm",
                           "./usr/lib/custodel/libDEVUror.so",
                           "./usr/lib/custodel/libdodived.so",
                           "./usr/lib/custodel/libalmanac_etcd.so",
                           "./usr/libexec/custodel/sample_server",
                           "./usr/lib/systemd/system/zqmd.service",
                           "./usr/lib/systemd/system/zqmd.socket",
                           "./usr/lib/systemd/system/almanac.service",
                           "./usr/lib/systemd/system/custodel.service",
                           "./usr/share/man/man1/zqmd.1.gz",
                           "./usr/share/man/man1/almanac.1.gz",
                           "./usr/share/man/man1/custodel.1.gz",
                           "./usr/share/man/man1/zqm.1.gz",
                           "./usr/share/doc/custodel/copyright",
                           "./usr/share/doc/custodel/changelog.gz",
                           "./usr/share/bash-completion/completions/zqm",
                           "./etc/custodel/installation.json",
                           "./etc/default/zqmd"}) {
    EXPECT_TRUE(Contains(contents.output, std::string(file) + "\n")) << file << contents.output;
  }

  const zq_test::ProgramRun info = RunToEnd({ZQ_DPKG_DEB, "--info", package});
  ASSERT_EQ(0, info.status) << info.output;
  for (const char* dependency : {"libc6", "libstdc++6", "libsodium23"})
    EXPECT_TRUE(Contains(info.output, dependency)) << dependency << info.output;
  const zq_test::ProgramRun conffiles = RunToEnd({ZQ_DPKG_DEB, "--info", package, "conffiles"});
  EXPECT_EQ("/etc/custodel/installation.json\n/etc/default/zqmd\n", conffiles.output);

  // The files that name paths name the package's, never the build's.
  const std::string root = out.File("root");
  ASSERT_EQ(0, RunToEnd({ZQ_DPKG_DEB, "--extract", package, root}).status);
  EXPECT_TRUE(Contains(zq_test::ReadFile(root + "/usr/lib/systemd/system/almanac.service"),
                       "\nExecStart=/usr/bin/almanac /etc/custodel/installation.json\n"));
  // The example's servers run as the user the package creates.
  EXPECT_TRUE(Contains(zq_test::ReadFile(root + "/etc/custodel/installation.json"),
                       "\"User\": \"custodel\",\n          \"Program\": "
                       "\"/usr/libexec/custodel/sample_server\""));
  const zq_test::ProgramRun postinst = RunToEnd({ZQ_DPKG_DEB, "--info", package, "postinst"});
  EXPECT_TRUE(Contains(postinst.output, "zqmd --init-key \"$key\"")) << postinst.output;
  EXPECT_TRUE(Contains(postinst.output,
                       "adduser --system --group --quiet --no-create-home "
                       "--home /nonexistent custodel\n"))
      << postinst.output;

  // What lintian says, down to its informational tags, beyond the package's
  // own overrides (each explained there).
  ASSERT_STRNE("", ZQ_LINTIAN) << "lintian is not installed: scripts/deps installs it";
  // Its scratch files (it leaves a cache of ELF facts behind) go with ours.
  const std::string scratch = out.File("lintian");
  std::filesystem::create_directory(scratch);
  const zq_test::ProgramRun lintian =
      RunToEnd({ZQ_LINTIAN, "--display-info", "--pedantic", package}, {{"TMPDIR", scratch}}, 2min);
  std::string tags;
  std::istringstream lines(lintian.output);
  for (std::string line; std::getline(lines, line);)
    if (line.size() > 2 && line[1] == ':' && line[0] != 'N') tags += line + "\n";
  EXPECT_EQ("", tags) << lintian.output;
}

}  // namespace
