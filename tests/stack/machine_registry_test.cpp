// The simulated machine's kernel registry is the host registry's machine
// hive: what the driver writes, user mode reads with the registry calls, and
// what user mode sets there, the driver reads at the next start.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/win32.h"
#include "sim/world/world.h"
#include "tests/common/wait.h"

namespace vk {
namespace {

constexpr char kCamera0[] = "Software\\Velmoran camera\\{42ED05EB-B22B-46BB-BE60-336B1B7D2E00}";
constexpr char kStart[] = "System\\CurrentControlSet\\Services\\vku2cam\\VID_1A2B&PID_3C4D\\START";
constexpr char kConfiguredClass[] =
    "Software\\Classes\\CLSID\\{7A4C1E20-3B5D-4E61-9C2A-1F0B6D3E8A51}";

bool MachineKeyExists(const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Polls for the key to (dis)appear: the driver registers and removes on its
// own thread.
bool WaitForKey(const char* path, bool present) {
  return WaitUntil([&] { return MachineKeyExists(path) == present; });
}

std::string Text(const char* path, const char* name, DWORD* size) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
  char text[256] = {};
  DWORD type = 0;
  *size = sizeof(text);
  const LONG status =
      RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_SZ ? text : "";
}

// Polls for the value: the driver creates a key before it writes its values.
bool WaitForText(const char* path, const char* name, const std::string& expected,
                 DWORD* size) {
  return WaitUntil([&] { return Text(path, name, size) == expected; });
}

void SetText(const char* path, const char* name, const char* text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           static_cast<DWORD>(std::strlen(text) + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

std::string StoreText() {
  std::ifstream in(std::getenv("VKCAM_REGISTRY"));
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(MachineRegistry, DriverKeysAreReadableThroughTheRegistryCalls) {
  world::World& world = world::World::Get();
  ASSERT_EQ(world.system().pnp().Cameras().size(), 1u);
  DWORD size = 0;
  ASSERT_TRUE(WaitForText(kCamera0, "PortType", "USBCamera", &size));
  EXPECT_EQ(Text(kCamera0, "LinkName", &size), "trq5c-0");
  EXPECT_EQ(size, 8u);  // the terminating zero counted

  // The INF's settings are lasting keys in the store file; the camera's
  // entries are volatile and never reach it.
  const std::string store = StoreText();
  EXPECT_NE(store.find("Services\\vku2cam\\VID_1A2B&PID_3C4D\\START]"), std::string::npos);
  EXPECT_EQ(store.find("Velmoran camera"), std::string::npos);
  EXPECT_EQ(store.find("{42ED05EB"), std::string::npos);

  world.Unplug(world.system().pnp().Cameras().front().id);
  EXPECT_TRUE(WaitForKey(kCamera0, false));
  EXPECT_TRUE(MachineKeyExists("Software\\Velmoran camera"));
}

TEST(MachineRegistry, SettingsChangedByUserModeReachTheNextStart) {
  world::World& world = world::World::Get();
  ASSERT_TRUE(WaitForKey(kCamera0, true));
  EXPECT_FALSE(MachineKeyExists(kConfiguredClass));
  SetText(kStart, "RegForDShow", "Y");
  SetText(kStart, "RegForDVP", "N");

  const sim::PluggedCamera extra = world.Plug();
  ASSERT_EQ(extra.add_status, kStatusSuccess);
  DWORD size = 0;
  EXPECT_TRUE(WaitForText((std::string(kConfiguredClass) + "\\InprocServer32").c_str(), "",
                          "C:\\Windows\\System32\\vkcamflt.ax", &size));
  // The per-camera writer's flag is now clear: the new camera took no identifier.
  EXPECT_FALSE(MachineKeyExists("Software\\Velmoran camera\\{42ED05EB-B22B-46BB-BE60-336B1B7D2E01}"));

  world.Unplug(extra.id);
  EXPECT_TRUE(WaitForKey(kConfiguredClass, false));
  EXPECT_TRUE(MachineKeyExists(kCamera0));
}

}  // namespace
}  // namespace vk
