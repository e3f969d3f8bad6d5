// The status view from the daemon's answers to the table and the JSON
// document, with the fields only some launch configurations give.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/zqm_status_join.h"
#include "tools/zqm_status_render.h"

namespace {

constexpr std::time_t kNow = 1'800'000'000;

ZQ_TDict Running(const char* name, unsigned pid) {
  ZQ_TDict entry;
  entry.Set("Name", ZQ_TAny(ZQ_TString(name)));
  entry.Set("Instance", ZQ_TAny(ZQ_TUInt16(1)));
  entry.Set("PID", ZQ_TAny(ZQ_TUInt32(pid)));
  entry.Set("State", ZQ_TAny(ZQ_TString("running")));
  entry.Set("Started", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(kNow - 60))));
  return entry;
}

StatusSources Sources(std::initializer_list<ZQ_TDict> running) {
  StatusSources sources;
  for (const char* name : {"Web", "Plain"}) {
    sources.servers.Set(ZQ_TString(name) + "/Program", ZQ_TAny(ZQ_TString("sleep")));
    sources.servers.Set(ZQ_TString(name) + "/AlwaysRunning", ZQ_TAny(ZQ_TBool(true)));
  }
  for (const ZQ_TDict& entry : running)
    sources.running.Append(ZQ_TAny(entry));
  return sources;
}

std::string Table(const StatusReport& status) {
  std::ostringstream out;
  PrintStatus(out, status, kNow, false);
  return out.str();
}

std::string LineOf(const std::string& table, const std::string& start) {
  const std::size_t at = table.find("\n" + start);
  return at == std::string::npos ? "" : table.substr(at + 1, table.find('\n', at + 1) - at - 1);
}

TEST(ZqmStatusRenderTest, ReadinessHealthCpuAndMemoryShowOnlyWhereKnownAndAligned) {
  ZQ_TDict web = Running("Web", 41);
  web.Set("Readiness", ZQ_TAny(ZQ_TString("ready")));
  web.Set("StatusText", ZQ_TAny(ZQ_TString("serving 12 clients")));
  web.Set("Health", ZQ_TAny(ZQ_TString("unhealthy")));
  web.Set("HealthFailures", ZQ_TAny(ZQ_TUInt32(2)));
  web.Set("CPUSeconds", ZQ_TAny(ZQ_TString("75.250")));
  web.Set("MemoryBytes", ZQ_TAny(ZQ_TString("1572864")));
  const StatusReport status = CollectStatus(Sources({web, Running("Plain", 42)}));

  const std::string table = Table(status);
  const std::string header = LineOf(table, "SERVER");
  const std::string webRow = LineOf(table, "Web ");
  const std::string plainRow = LineOf(table, "Plain ");
  ASSERT_FALSE(header.empty() || webRow.empty() || plainRow.empty()) << table;
  // Each value starts where its heading does.
  for (const auto& [heading, value] : std::initializer_list<std::pair<const char*, const char*>>{
           {"READY", "ready \"serving 12 clients\""},
           {"HEALTH", "unhealthy (2 failed)"},
           {"CPU", "00:01:15"},
           {"MEM", "1.5M"},
           {"STATE", "running"}}) {
    EXPECT_EQ(header.find(heading), webRow.find(value)) << heading << "\n" << table;
  }
  EXPECT_EQ("- ", plainRow.substr(header.find("READY"), 2)) << table;

  const auto json = StatusJson(status, kNow)["Servers"];
  const auto& webJson = json[0]["Name"] == "Web" ? json[0] : json[1];
  const auto& plainJson = json[0]["Name"] == "Web" ? json[1] : json[0];
  const auto instance = webJson["Instances"][0];
  EXPECT_EQ("ready", instance["Readiness"]);
  EXPECT_EQ("serving 12 clients", instance["StatusText"]);
  EXPECT_EQ("unhealthy", instance["Health"]);
  EXPECT_EQ(2, instance["HealthFailures"]);
  EXPECT_EQ("75.250", instance["CPUSeconds"]);
  EXPECT_EQ("1572864", instance["MemoryBytes"]);
  for (const char* key : {"Readiness", "StatusText", "Health", "HealthFailures", "CPUSeconds",
                          "MemoryBytes", "LaunchChanged"})
    EXPECT_FALSE(plainJson["Instances"][0].contains(key)) << key;

  // A daemon that gives none of them: the table is as it always was.
  const std::string plain = LineOf(Table(CollectStatus(Sources({Running("Plain", 42)}))), "SERVER");
  for (const char* heading : {"READY", "HEALTH", "CPU", "MEM"})
    EXPECT_EQ(std::string::npos, plain.find(heading)) << plain;
}

TEST(ZqmStatusRenderTest, CpuAndMemoryFigures) {
  EXPECT_EQ("0.2s", FormatCpuSeconds("0.250"));
  EXPECT_EQ("59.9s", FormatCpuSeconds("59.9"));
  EXPECT_EQ("01:00:00", FormatCpuSeconds("3600.000"));
  EXPECT_EQ("lots", FormatCpuSeconds("lots"));
  EXPECT_EQ("512B", FormatBytes("512"));
  EXPECT_EQ("1.5K", FormatBytes("1536"));
  EXPECT_EQ("12M", FormatBytes("12582912"));
  EXPECT_EQ("3.0G", FormatBytes("3221225472"));
  EXPECT_EQ("-1", FormatBytes("-1"));
}

}  // namespace
