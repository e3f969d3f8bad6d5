#include "DEVUror/zqmd/state_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "typelib/dodived.h"

namespace zqmd {

namespace {

template <class T>
const T* Field(const ZQ_TDict& entry, const char* key) {
  const ZQ_TAny* value = entry.Find(key);
  return value != nullptr ? value->As<T>() : nullptr;
}

ZQ_TDict Packed(const SavedInstance& saved) {
  ZQ_TDict entry;
  entry.Set("Name", ZQ_TAny(ZQ_TString(saved.name)));
  entry.Set("Instance", ZQ_TAny(ZQ_TUInt16(saved.instance)));
  entry.Set("PID", ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(saved.pid))));
  entry.Set("Port", ZQ_TAny(ZQ_TUInt32(saved.port)));
  entry.Set("State", ZQ_TAny(ZQ_TString(saved.state)));
  entry.Set("Started", ZQ_TAny(ZQ_TString(std::to_string(saved.started))));
  entry.Set("Log", ZQ_TAny(ZQ_TString(saved.logPath)));
  entry.Set("StartTicks", ZQ_TAny(ZQ_TString(std::to_string(saved.startTicks))));
  return entry;
}

bool Unpacked(const ZQ_TDict& entry, SavedInstance& saved) {
  const auto* name = Field<ZQ_TString>(entry, "Name");
  const auto* instance = Field<ZQ_TUInt16>(entry, "Instance");
  const auto* pid = Field<ZQ_TUInt32>(entry, "PID");
  const auto* port = Field<ZQ_TUInt32>(entry, "Port");
  const auto* state = Field<ZQ_TString>(entry, "State");
  const auto* started = Field<ZQ_TString>(entry, "Started");
  const auto* log = Field<ZQ_TString>(entry, "Log");
  const auto* ticks = Field<ZQ_TString>(entry, "StartTicks");
  if (!name || !instance || !pid || !port || !state || !started || !log || !ticks) return false;
  saved.name = name->Text();
  saved.instance = instance->Value();
  saved.pid = static_cast<pid_t>(pid->Value());
  saved.port = static_cast<unsigned short>(port->Value());
  saved.state = state->Text();
  saved.logPath = log->Text();
  try {
    saved.started = std::stoll(started->Text());
    saved.startTicks = std::stoull(ticks->Text());
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

}  // namespace

std::vector<SavedInstance> LoadState(const std::string& path, std::string& problem) {
  std::vector<SavedInstance> instances;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno != ENOENT) problem = path + ": " + std::strerror(errno);
    return instances;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  try {
    const ZQ_TAny value = ZQ_UnpackValue(bytes.str());
    const ZQ_TList* list = value.As<ZQ_TList>();
    if (list == nullptr) {
      problem = path + ": not a list of instances";
      return instances;
    }
    for (const ZQ_TAny& element : *list) {
      SavedInstance saved;
      const ZQ_TDict* entry = element.As<ZQ_TDict>();
      if (entry != nullptr && Unpacked(*entry, saved)) instances.push_back(saved);
    }
  } catch (const ZQ_EException& failure) {
    problem = path + ": " + failure.ZQ_Message().Text();
  }
  return instances;
}

bool SaveState(const std::string& path, const std::vector<SavedInstance>& instances,
               std::string& problem) {
  ZQ_TList list;
  for (const SavedInstance& saved : instances)
    list.Append(ZQ_TAny(Packed(saved)));
  const std::string bytes = ZQ_PackValue(&list);
  const std::string partial = path + ".new";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      problem = partial + ": " + std::strerror(errno);
      return false;
    }
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    problem = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::optional<std::uint64_t> ProcessStartTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return std::nullopt;
  // The command name may hold spaces and parentheses: fields are counted
  // from after its closing parenthesis, which is field 2.
  const std::size_t end = stat.rfind(')');
  if (end == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(end + 1));
  std::string field;
  for (int number = 3; fields >> field; ++number) {
    if (number == 22) {
      try {
        return std::stoull(field);
      } catch (const std::exception&) {
        return std::nullopt;
      }
    }
  }
  return std::nullopt;
}

}  // namespace zqmd
