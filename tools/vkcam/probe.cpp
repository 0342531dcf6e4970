// vkcam devices, vkcam ioctl and vkcam token: probes of the driver's device links through
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

namespace {

const std::string kMaker = "Software\\Velmoran camera";
const std::string kClasses = "Software\\Classes\\CLSID\\";

// A string value under HKEY_LOCAL_MACHINE\`key`, or "".
std::string Text(const std::string& key, const char* name) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
    return "";
  char text[512] = {};
  DWORD type = 0, size = sizeof(text) - 1;
  const LONG status = RegQueryValueExA(k, name, nullptr, &type,
                                       reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(k);
  return status == ERROR_SUCCESS && type == REG_SZ ? std::string(text) : "";
}

// The names of the keys directly below HKEY_LOCAL_MACHINE\`parent`.
std::vector<std::string> Children(const std::string& parent) {
  std::vector<std::string> names;
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
    return names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof(name);
    if (RegEnumKeyExA(k, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  RegCloseKey(k);
  return names;
}

void Category(const char* title, const std::string& clsid) {
  const std::string instances = kClasses + clsid + "\\Instance";
  std::printf("%s (%s):\n", title, clsid.c_str());
  for (const std::string& name : Children(instances)) {
    const std::string key = instances + "\\" + name;
    const std::string filter = Text(key, "CLSID");
    std::printf("  \"%s\"  class %s -> %s\n", Text(key, "FriendlyName").c_str(),
                filter.c_str(), Text(kClasses + filter + "\\InprocServer32", "").c_str());
  }
}

constexpr char kVideoInput[] = "{860BB310-5D01-11d0-BD3B-00A0C911CE86}";

// How many cameras have finished registering: the video input instance,
// written last, names the camera's class.
size_t RegisteredCameras() {
  size_t done = 0;
  for (const std::string& id : Children(kMaker)) {
    const std::string name = Text(kMaker + "\\" + id, "FriendlyName");
    if (Text(kClasses + kVideoInput + "\\Instance\\" + name, "CLSID") == id) ++done;
  }
  return done;
}

int CamerasPresent() {
  int present = 0;
  for (int i = 0; i < kLinks; ++i) {
    HANDLE link = OpenLink(i);
    if (link == INVALID_HANDLE_VALUE) continue;
    ++present;
    CloseHandle(link);
  }
  return present;
}

}  // namespace

// What a video application finds with the registry calls: the category
// instances, the classes behind them and each camera's description under the
// maker's key.
int DevicesRegistry() {
  // The driver registers each camera shortly after its start.
  const size_t cameras = static_cast<size_t>(CamerasPresent());
  for (int i = 0; i < 300 && RegisteredCameras() < cameras; ++i) Sleep(10);
  Category("Video input devices", kVideoInput);
  Category("DirectShow filters", "{083863F1-70DE-11d0-BD40-00A0C911CE86}");
  std::printf("Cameras (HKEY_LOCAL_MACHINE\\%s):\n", kMaker.c_str());
  for (const std::string& id : Children(kMaker)) {
    const std::string key = kMaker + "\\" + id;
    std::printf("  %s  link %s, \"%s\", %s %s\n", id.c_str(), Text(key, "LinkName").c_str(),
                Text(key, "FriendlyName").c_str(), Text(key, "ProductSeries").c_str(),
                Text(key, "ProductName").c_str());
  }
  return 0;
}

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

namespace {

// One handle on a camera's link, opened for overlapped requests, and its
// request of the access token, which may wait.
class TokenLink {
 public:
  static constexpr DWORD kPatienceMs = 30000;

  explicit TokenLink(int link) : link_(link) {
    handle_ = CreateFileA(LinkName(link).c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~TokenLink() {
    Close();
    CloseHandle(overlapped_.hEvent);
  }
  bool open() const { return handle_ != INVALID_HANDLE_VALUE; }
  std::string name() const { return LinkName(link_).substr(4); }

  // What a request came to: granted (or released), refused, waiting, or
  // cancelled.
  enum class Answer { kDone, kRefused, kWaiting, kCancelled };

  // Sends an acquire (true) or a release; a waiting acquire is kept.
  Answer Send(bool acquire) {
    block_[0] = acquire ? 1 : 0;
    block_[1] = 0xEE;
    ResetEvent(overlapped_.hEvent);
    DWORD returned = 0;
    if (DeviceIoControl(handle_, vk::IOCTL_EXCLUSIVE_ACCESS, block_, 8, block_,
                        8, &returned, &overlapped_))
      return block_[1] == (acquire ? 1 : 0) ? Answer::kDone : Answer::kRefused;
    if (GetLastError() == ERROR_IO_PENDING) return Answer::kWaiting;
    return Answer::kRefused;
  }
  // The waiting acquire's end. One that is still waiting after a generous
  // while is reported as such (and cancelled, so its block can go).
  Answer Wait() {
    DWORD returned = 0;
    if (WaitForSingleObject(overlapped_.hEvent, kPatienceMs) != WAIT_OBJECT_0) {
      Cancel();
      GetOverlappedResult(handle_, &overlapped_, &returned, TRUE);
      return Answer::kWaiting;
    }
    if (GetOverlappedResult(handle_, &overlapped_, &returned, TRUE))
      return returned == 8 && block_[1] == 1 ? Answer::kDone : Answer::kRefused;
    return GetLastError() == ERROR_OPERATION_ABORTED ? Answer::kCancelled
                                                     : Answer::kRefused;
  }
  void Cancel() { CancelIoEx(handle_, &overlapped_); }
  void Close() {
    if (open()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  const int link_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped_ = {};
  uint8_t block_[8] = {};
};

const char* Said(TokenLink::Answer answer) {
  switch (answer) {
    case TokenLink::Answer::kDone: return "done";
    case TokenLink::Answer::kRefused: return "refused";
    case TokenLink::Answer::kWaiting: return "waits";
    case TokenLink::Answer::kCancelled: return "cancelled";
  }
  return "?";
}

}  // namespace

namespace vk::tools {

// The access token between the first two cameras present, as two programs
// that each use one of them would pass it: a request waits while the other
// camera holds it and is granted by its release, by its handle's close, or
// ends when it is cancelled.
int Token() {
  std::vector<int> links;
  for (int i = 0; i < kLinks && links.size() < 2; ++i) {
    HANDLE link = OpenLink(i);
    if (link == INVALID_HANDLE_VALUE) continue;
    links.push_back(i);
    CloseHandle(link);
  }
  if (links.size() < 2) {
    std::fprintf(stderr, "vkcam: the token needs two cameras\n");
    return 1;
  }
  TokenLink a(links[0]), b(links[1]);
  if (!a.open() || !b.open()) {
    std::fprintf(stderr, "vkcam: the cameras could not be opened\n");
    return 1;
  }
  using Answer = TokenLink::Answer;
  int failed = 0;
  auto step = [&failed](const std::string& what, Answer got, Answer expected) {
    std::printf("token: %s: %s\n", what.c_str(), Said(got));
    if (got != expected) {
      std::printf("  expected: %s\n", Said(expected));
      ++failed;
    }
    return got == expected;
  };
  const std::string first = a.name(), second = b.name();
  // A holder that is ending (a program that exits holding the token) gives
  // it back with its close: the first acquire may wait for that.
  Answer granted = a.Send(true);
  if (granted == Answer::kWaiting) granted = a.Wait();
  step(first + " acquires", granted, Answer::kDone);
  step(first + " acquires again", a.Send(true), Answer::kRefused);
  // A waiting request is waited for only when it waits: one answered at
  // once has nothing left to wait for.
  if (step(second + " acquires", b.Send(true), Answer::kWaiting)) {
    step(first + " releases", a.Send(false), Answer::kDone);
    step(second + "'s acquire ends", b.Wait(), Answer::kDone);
  }
  if (step(first + " acquires", a.Send(true), Answer::kWaiting)) {
    a.Cancel();
    step(first + "'s acquire, cancelled, ends", a.Wait(), Answer::kCancelled);
  }
  if (step(first + " acquires", a.Send(true), Answer::kWaiting)) {
    b.Close();
    step(first + "'s acquire ends when " + second + " closes", a.Wait(),
         Answer::kDone);
  }
  step(first + " releases", a.Send(false), Answer::kDone);
  std::printf(failed == 0 ? "token: passed between %s and %s\n"
                          : "token: %s and %s did not pass it as expected\n",
              first.c_str(), second.c_str());
  return failed == 0 ? 0 : 1;
}

}  // namespace vk::tools
