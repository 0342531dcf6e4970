// vkcam devices and vkcam ioctl: probes of the driver's device links through
// nothing but the Win32 calls the SDK uses, so they see exactly what the SDK
// and the TWAIN source see.
#include "tools/vkcam/commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/camera_protocol.h"
#include "common/control_codes.h"
#include "common/wire_blocks.h"
#include "platform/win32.h"
#include "sdk/core/camera_device.h"
#ifndef _WIN32
#include "sim/world/world.h"
#endif

namespace {

constexpr int kLinks = 8;

std::string LinkName(int n) {
  return std::string("\\\\.\\trq5c-") + static_cast<char>('0' + n);
}

HANDLE OpenLink(int n) {
  return CreateFileA(LinkName(n).c_str(), GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     0, nullptr);
}

// String descriptor `index`: its length first, then the whole descriptor,
// narrowed to ASCII.
std::string StringDescriptor(HANDLE link, uint8_t index) {
  uint8_t request[4];
  vk::Encode(vk::StringDescriptorRequest{index, 0, 0x001B}, request);
  uint8_t head[4] = {};
  DWORD n = 0;
  if (!DeviceIoControl(link, vk::IOCTL_GET_STRING_DESCRIPTOR, request, 4, head,
                       4, &n, nullptr) ||
      head[0] < 2)
    return "(unreadable)";
  std::vector<uint8_t> full(head[0]);
  if (!DeviceIoControl(link, vk::IOCTL_GET_STRING_DESCRIPTOR, request, 4,
                       full.data(), static_cast<DWORD>(full.size()), &n,
                       nullptr))
    return "(unreadable)";
  std::string text;
  for (DWORD i = 2; i + 1 < n; i += 2)
    text += full[i + 1] == 0 ? static_cast<char>(full[i]) : '?';
  return text;
}

// The serial number's printable characters, two to a memory word.
std::string SerialNumber(vk::CCameraDevice& device) {
  std::string serial;
  for (uint16_t i = 0; i < vk::nvram::kSerialNumberMaxLength; i += 2) {
    uint16_t word = 0;
    if (!device.ReadMemoryWord(static_cast<uint16_t>(vk::nvram::kSerialNumber + i), &word))
      break;
    for (const int c : {word >> 8, word & 0xFF}) {
      if (c < 0x20 || c > 0x7E) return serial;
      serial += static_cast<char>(c);
    }
  }
  return serial;
}

// The identity data in the camera's memory: serial number and lot date.
std::string Identity(int link_number) {
  vk::CCameraDevice device;
  if (!device.OpenLinkNumber(link_number)) return "";
  uint16_t word = 0xFFFF;
  device.ReadMemoryWord(vk::nvram::kLotDate, &word);
  const vk::nvram::LotDate date = vk::nvram::DecodeLotDate(word);
  char lot[32] = "lot date not written";
  if (date.month != vk::nvram::kLotDateNeverWrittenMonth)
    std::snprintf(lot, sizeof(lot), "lot date %04d-%02d-%02d", date.year,
                  date.month, date.day);
  return "serial \"" + SerialNumber(device) + "\", " + lot;
}

}  // namespace

namespace vk::tools {

int Devices() {
  int found = 0;
  for (int i = 0; i < kLinks; ++i) {
    HANDLE link = OpenLink(i);
    if (link == INVALID_HANDLE_VALUE) continue;
    ++found;
    uint8_t version[8] = {};
    DWORD n = 0;
    DeviceIoControl(link, vk::IOCTL_GET_DRIVER_VERSION, nullptr, 0, version, 8,
                    &n, nullptr);
    vk::DriverVersionBlock v{};
    vk::Decode(version, sizeof(version), &v);
    std::printf("%s  %s / %s  driver %u.%u.%u\n", LinkName(i).c_str(),
                StringDescriptor(link, 1).c_str(),
                StringDescriptor(link, 2).c_str(), v.major, v.minor, v.build);
    CloseHandle(link);
    std::printf("    %s\n", Identity(i).c_str());
  }
  if (found == 0) std::printf("no camera found\n");
  return found > 0 ? 0 : 1;
}

#ifndef _WIN32
namespace {

const std::string kMachine = "\\Registry\\Machine\\Software\\";
const std::string kClasses = kMachine + "Classes\\CLSID\\";

std::string Text(const vk::sim::SimKernel& kernel, const std::string& key,
                 const std::string& name) {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (!kernel.RegistryValue(key, name, &type, &data) || type != 1) return "";
  std::string text;
  for (size_t i = 0; i + 1 < data.size() && (data[i] || data[i + 1]); i += 2)
    text += data[i + 1] == 0 ? static_cast<char>(data[i]) : '?';
  return text;
}

// The keys directly below `parent`, by their last name.
std::vector<std::string> Children(const vk::sim::SimKernel& kernel, const std::string& parent) {
  std::vector<std::string> names;
  for (const std::string& key : kernel.RegistryKeysUnder(parent + "\\")) {
    const std::string rest = key.substr(parent.size() + 1);
    if (!rest.empty() && rest.find('\\') == std::string::npos) names.push_back(rest);
  }
  return names;
}

void Category(const vk::sim::SimKernel& kernel, const char* title, const std::string& clsid) {
  const std::string instances = kClasses + clsid + "\\Instance";
  std::printf("%s (%s):\n", title, clsid.c_str());
  for (const std::string& name : Children(kernel, instances)) {
    const std::string key = instances + "\\" + name;
    const std::string filter = Text(kernel, key, "CLSID");
    std::printf("  \"%s\"  class %s -> %s\n", Text(kernel, key, "FriendlyName").c_str(),
                filter.c_str(), Text(kernel, kClasses + filter + "\\InprocServer32", "").c_str());
  }
}

}  // namespace

// What a video application finds: the category instances, the classes
// behind them and each camera's description under the maker's key.
int DevicesRegistry() {
  const vk::sim::SimKernel& kernel = vk::world::World::Get().system().kernel();
  const std::string maker = kMachine + "Velmoran camera";
  // The driver registers each camera shortly after its start.
  const size_t cameras = vk::world::World::Get().system().pnp().Cameras().size();
  for (int i = 0; i < 300 && Children(kernel, maker).size() < cameras; ++i) Sleep(10);
  Category(kernel, "Video input devices", "{860BB310-5D01-11d0-BD3B-00A0C911CE86}");
  Category(kernel, "DirectShow filters", "{083863F1-70DE-11d0-BD40-00A0C911CE86}");
  std::printf("Cameras (%s):\n", maker.c_str());
  for (const std::string& id : Children(kernel, maker)) {
    const std::string key = maker + "\\" + id;
    std::printf("  %s  link %s, \"%s\", %s %s\n", id.c_str(),
                Text(kernel, key, "LinkName").c_str(), Text(kernel, key, "FriendlyName").c_str(),
                Text(kernel, key, "ProductSeries").c_str(), Text(kernel, key, "ProductName").c_str());
  }
  return 0;
}
#else
int DevicesRegistry() {
  std::fprintf(stderr, "vkcam: use the Registry Editor on Windows\n");
  return 2;
}
#endif

}  // namespace vk::tools

namespace {

bool ParseHex(const char* text, std::vector<uint8_t>* bytes) {
  const size_t length = std::strlen(text);
  if (length % 2 != 0) return false;
  for (size_t i = 0; i < length; i += 2) {
    char pair[3] = {text[i], text[i + 1], 0};
    char* end = nullptr;
    const long v = std::strtol(pair, &end, 16);
    if (*end != 0) return false;
    bytes->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

}  // namespace

namespace vk::tools {

int Ioctl(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: vkcam ioctl N CODE [HEX] [OUTLEN]\n");
    return 2;
  }
  const int n = std::atoi(argv[2]);
  const auto code = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0));
  std::vector<uint8_t> input;
  if (argc > 4 && !ParseHex(argv[4], &input)) {
    std::fprintf(stderr, "vkcam: input must be pairs of hex digits\n");
    return 2;
  }
  std::vector<uint8_t> output(argc > 5 ? std::strtoul(argv[5], nullptr, 0) : 0);
  HANDLE link = OpenLink(n);
  if (link == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "vkcam: cannot open %s (error %u)\n",
                 LinkName(n).c_str(), static_cast<unsigned>(GetLastError()));
    return 1;
  }
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(
      link, code, input.empty() ? nullptr : input.data(),
      static_cast<DWORD>(input.size()), output.empty() ? nullptr : output.data(),
      static_cast<DWORD>(output.size()), &returned, nullptr);
  std::printf("%s: %s", vk::ControlCodeName(code),
              ok ? "ok" : "failed");
  if (!ok) std::printf(" (error %u)", static_cast<unsigned>(GetLastError()));
  std::printf(", %u bytes:", static_cast<unsigned>(returned));
  for (DWORD i = 0; i < returned && i < output.size(); ++i)
    std::printf(" %02x", output[i]);
  std::printf("\n");
  CloseHandle(link);
  return ok ? 0 : 1;
}

}  // namespace vk::tools
