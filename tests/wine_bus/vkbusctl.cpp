// vkbusctl.exe: the camera program behind the virtual USB bus, and its
// installer.
//
//   vkbusctl install DIR   installs vku2cam.inf (for the camera's hardware
//                          ID) and the bus as the root-enumerated device
//                          ROOT\VKUSBBUS through SetupAPI; DIR holds both
//                          INFs and both drivers.
//   vkbusctl plug PORT [noiseless]
//                          plugs a simulated camera into the bus's port
//   vkbusctl unplug PORT   unplugs it
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/wine_bus/bus_protocol.h"

namespace vk::winebus {
namespace {

// ---- Installation ----

std::wstring Wide(const char* s) {
  const int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
  std::wstring w(n > 0 ? n - 1 : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, s, -1, w.data(), n);
  return w;
}

int Fail(const char* what) {
  std::fprintf(stderr, "vkbusctl: %s failed, error %lu\n", what, GetLastError());
  return 1;
}

int Install(const char* dir_arg) {
  wchar_t dir[MAX_PATH];
  if (GetFullPathNameW(Wide(dir_arg).c_str(), MAX_PATH, dir, nullptr) == 0)
    return Fail("GetFullPathName");
  const std::wstring camera_inf = std::wstring(dir) + L"\\vku2cam.inf";
  const std::wstring bus_inf = std::wstring(dir) + L"\\vkusbbus.inf";

  // The camera's INF goes where the plug-and-play manager looks for a
  // driver when the bus reports the camera.
  wchar_t installed[MAX_PATH];
  if (!SetupCopyOEMInfW(camera_inf.c_str(), dir, SPOST_PATH, 0, installed, MAX_PATH, nullptr,
                        nullptr))
    return Fail("SetupCopyOEMInf (vku2cam.inf)");
  std::printf("vkbusctl: camera driver INF installed as %ls\n", installed);

  // The bus: a root-enumerated device whose driver is installed as a user
  // installs any device's.
  GUID system_class;
  DWORD count = 0;
  if (!SetupDiClassGuidsFromNameW(L"System", &system_class, 1, &count) || count == 0)
    return Fail("SetupDiClassGuidsFromName");
  HDEVINFO set = SetupDiCreateDeviceInfoList(&system_class, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof(device);
  static const wchar_t kHardwareId[] = L"root\\vkusbbus\0";
  int result = 0;
  if (!SetupDiCreateDeviceInfoW(set, L"VKUSBBUS", &system_class, nullptr, nullptr,
                                DICD_GENERATE_ID, &device)) {
    result = Fail("SetupDiCreateDeviceInfo");
  } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(kHardwareId),
                                                sizeof(kHardwareId))) {
    result = Fail("SetupDiSetDeviceRegistryProperty");
  } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
    result = Fail("DIF_REGISTERDEVICE");
  }
  SetupDiDestroyDeviceInfoList(set);
  if (result != 0) return result;
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"root\\vkusbbus", bus_inf.c_str(),
                                          INSTALLFLAG_FORCE, &reboot))
    return Fail("UpdateDriverForPlugAndPlayDevices (vkusbbus.inf)");
  std::printf("vkbusctl: bus installed\n");
  return 0;
}

// ---- Plugging ----

int PortCommand(uint32_t code, uint32_t port, uint32_t noise) {
  HANDLE bus = CreateFileW(kControlPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (bus == INVALID_HANDLE_VALUE) return Fail("opening the bus");
  PortRequest request = {port, noise};
  DWORD bytes = 0;
  const BOOL ok =
      DeviceIoControl(bus, code, &request, sizeof(request), nullptr, 0, &bytes, nullptr);
  CloseHandle(bus);
  if (!ok) return Fail(code == kIoctlPlug ? "plug" : "unplug");
  return 0;
}

}  // namespace
}  // namespace vk::winebus

int main(int argc, char** argv) {
  using namespace vk::winebus;
  if (argc == 3 && std::strcmp(argv[1], "install") == 0) return Install(argv[2]);
  if (argc >= 3 && std::strcmp(argv[1], "plug") == 0) {
    const bool quiet = argc == 4 && std::strcmp(argv[3], "noiseless") == 0;
    return PortCommand(kIoctlPlug, std::strtoul(argv[2], nullptr, 10), quiet ? 0 : 1);
  }
  if (argc == 3 && std::strcmp(argv[1], "unplug") == 0)
    return PortCommand(kIoctlUnplug, std::strtoul(argv[2], nullptr, 10), 0);
  std::fprintf(stderr,
               "usage: vkbusctl install DIR | plug PORT [noiseless] | unplug PORT\n");
  return 2;
}
