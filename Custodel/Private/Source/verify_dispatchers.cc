// Device and dispatcher verification: on a "RunAsMaster" host the pass
// first waits, bounded, until the configuration tree reports every device's
// dispatcher as checked. It only delays the pass and traces; nothing it
// meets reaches the pass.
#include "Custodel/Private/Source/custodel.h"

namespace {

const ZQ_TString kDevicesPath("Devices/Instances");

void Log(const ZQ_TString& text) {
  gServer.DBG_Type(0, text);
}

const ZQ_TString& DeviceName(const ZQ_TList& devices, std::size_t index) {
  return devices[index].DynamicCast<ZQ_TString>(kCustodelSource, __LINE__);
}

ZQ_TString DevicePath(const ZQ_TString& device, const char* tail) {
  return kDevicesPath + "/" + device + tail;
}

// The device's "IsDispatcherChecked" flag; throws when it cannot be read as
// a ZQ_TBool.
bool DispatcherChecked(Almanac_TProxy& almanac, const ZQ_TString& device) {
  const ZQ_TAny flag =
      almanac.Element(DevicePath(device, "/Rip/Config/TavrixControl/IsDispatcherChecked"), false);
  return flag.DynamicCast<ZQ_TBool>(kCustodelSource, __LINE__);
}

unsigned CountDevicesToCheck(Almanac_TProxy& almanac, const ZQ_TList& devices) {
  unsigned count = 0;
  for (std::size_t i = 0; i < devices.Count(); ++i) {
    const ZQ_TString& device = DeviceName(devices, i);
    try {
      DispatcherChecked(almanac, device);
      ++count;
    } catch (...) {
      // Not readable: this device is not waited for.
    }
  }
  return count;
}

unsigned CountCheckedDispatchers(Almanac_TProxy& almanac, const ZQ_TList& devices) {
  unsigned checked = 0;
  for (std::size_t i = 0; i < devices.Count(); ++i) {
    const ZQ_TString& device = DeviceName(devices, i);
    try {
      if (DispatcherChecked(almanac, device)) {
        ++checked;
      } else {
        Log(ZQ_TString::Format("Device \"%s\": Dispatcher not yet checked", device));
      }
    } catch (...) {
      // Unreadable in this attempt: neither counted nor logged.
    }
  }
  return checked;
}

void WaitForCheckedDispatchers(Almanac_TProxy& almanac, const ZQ_TList& devices, unsigned toCheck) {
  Log("Verify the Dispatchers...");
  for (unsigned attempt = 0;;) {
    Log(ZQ_TString::Format("Start checking Dispatchers (%d)", attempt + 1));
    const unsigned checked = CountCheckedDispatchers(almanac, devices);
    if (checked == toCheck) {
      Log("All Dispatchers were checked");
      return;
    }
    Log(ZQ_TString::Format("%d of %d Dispatchers checked", checked, toCheck));
    if (++attempt > kDispatcherRetries) return;
    Sleep(kDispatcherPauseMs);
  }
}

void AskRunningDispatchers(Almanac_TProxy& almanac, const ZQ_TList& devices) {
  Log("Get Tavrix information from Dispatchers...");
  for (std::size_t i = 0; i < devices.Count(); ++i) {
    const ZQ_TString& device = DeviceName(devices, i);
    const ZQ_TString runningPath =
        DevicePath(device, "/Rip/Config/TavrixControl/IsDispatcherRunning");
    try {
      const ZQ_TAny running = almanac.Element(runningPath, false);
      if (!running.DynamicCast<ZQ_TBool>(kCustodelSource, __LINE__)) {
        Log(ZQ_TString::Format("Device \"%s\": Dispatcher is not running", device));
        continue;
      }
      Log(ZQ_TString::Format("Device \"%s\": Dispatcher is running", device));
      const ZQ_TString configPath = DevicePath(device, "/Rip/Config");
      try {
        const ZQ_TAny keys(almanac.KeysAt(configPath));
        keys.DynamicCast<ZQ_TList>(kCustodelSource, __LINE__);
      } catch (...) {
        Log(ZQ_TString::Format("Device \"%s\": Cannot access configuration", device));
      }
    } catch (...) {
      // The flag could not be read: nothing to say about this device.
    }
  }
}

}  // namespace

void VerifyDispatchers(Almanac_TProxy& almanac) {
  try {
    Log("Calculate the number of devices...");
    const ZQ_TAny listed(almanac.KeysAt(kDevicesPath));
    const ZQ_TList& devices = listed.DynamicCast<ZQ_TList>(kCustodelSource, __LINE__);
    const auto deviceCount = static_cast<std::uint32_t>(devices.Count());
    Log(ZQ_TString::Format("Total number of devices: %d", deviceCount));
    const unsigned toCheck = CountDevicesToCheck(almanac, devices);
    Log(ZQ_TString::Format("Total number of devices to be checked: %d", toCheck));
    WaitForCheckedDispatchers(almanac, devices, toCheck);
    AskRunningDispatchers(almanac, devices);
  } catch (...) {
    // A device list that cannot be read or holds a non-text name ends the
    // verification silently; the pass goes on.
  }
}
