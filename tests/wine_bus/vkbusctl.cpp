// vkbusctl.exe: the camera program behind the virtual USB bus, and its
// installer.
//
//   vkbusctl install DIR   installs vku2cam.inf (for the camera's hardware
//                          ID) and the bus as the root-enumerated device
//                          ROOT\VKUSBBUS through SetupAPI; DIR holds both
//                          INFs and both drivers.
//   vkbusctl serve         runs the simulated cameras: reads commands from
//                          standard input, one a line ("plug", "unplug
//                          PORT", "quit"), answers each with a line.
//
// Each camera is the simulated camera with the USB wire semantics of the
// simulated host controller, unchanged: the bus driver hands over each
// URB's bytes, the program runs it against the camera and returns the URB
// as the device left it with the data that came in.
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/usb/urb.h"
#include "sim/camera/environment.h"
#include "sim/usb/usb_host.h"
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

// ---- The cameras ----

bool HasTransferBuffer(uint16_t function) {
  switch (function) {
    case usb::kUrbFunctionBulkOrInterruptTransfer:
    case usb::kUrbFunctionIsochTransfer:
    case usb::kUrbFunctionGetDescriptorFromDevice:
    case usb::kUrbFunctionVendorDevice:
    case usb::kUrbFunctionVendorInterface:
    case usb::kUrbFunctionVendorEndpoint:
    case usb::kUrbFunctionVendorOther:
    case usb::kUrbFunctionClassDevice:
    case usb::kUrbFunctionClassInterface:
    case usb::kUrbFunctionClassEndpoint:
    case usb::kUrbFunctionClassOther:
      return true;
    default:
      return false;
  }
}

// One request from the bus while the camera works on it.
struct Request {
  uint64_t tag = 0;
  std::vector<uint64_t> urb;  // the URB's bytes, 8-byte aligned
  uint32_t urb_length = 0;
  std::vector<uint8_t> data;  // the transfer buffer
  std::shared_ptr<sim::UsbDevice> device;

  usb::UrbHeader* header() { return reinterpret_cast<usb::UrbHeader*>(urb.data()); }
  usb::UrbBulkOrInterruptTransfer* transfer() {
    return reinterpret_cast<usb::UrbBulkOrInterruptTransfer*>(urb.data());
  }
};

class Server {
 public:
  bool Open() {
    // One handle fetches (its calls wait), the other answers.
    fetch_ = CreateFileW(kControlPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
    answer_ = CreateFileW(kControlPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    return fetch_ != INVALID_HANDLE_VALUE && answer_ != INVALID_HANDLE_VALUE;
  }

  void Start() { fetcher_ = std::thread([this] { FetchLoop(); }); }

  // The fetch handle closes last: the bus then unplugs whatever is left.
  void Stop() {
    stop_ = true;
    for (uint32_t port = 0; port < kPorts; ++port) Unplug(port, false);
    CancelIoEx(fetch_, nullptr);
    if (fetcher_.joinable()) fetcher_.join();
    CloseHandle(answer_);
    CloseHandle(fetch_);
  }

  // The next free port gets camera number `index`'s options.
  int Plug(int index) {
    sim::CameraOptions options;
    std::string error;
    if (!sim::CameraOptionsFromEnvironment(index, &options, &error)) {
      std::fprintf(stderr, "vkbusctl: %s\n", error.c_str());
      return -1;
    }
    std::unique_lock lock(mutex_);
    uint32_t port = 0;
    while (port < kPorts && ports_[port] != nullptr) ++port;
    if (port == kPorts) return -1;
    ports_[port] = host_.Plug(std::make_shared<sim::Camera>(std::move(options)));
    lock.unlock();
    PortRequest request = {port};
    DWORD bytes = 0;
    if (!DeviceIoControl(answer_, kIoctlPlug, &request, sizeof(request), nullptr, 0, &bytes,
                         nullptr)) {
      Fail("plug");
      lock.lock();
      host_.Unplug(ports_[port]);
      ports_[port] = nullptr;
      return -1;
    }
    return static_cast<int>(port);
  }

  bool Unplug(uint32_t port, bool report = true) {
    std::shared_ptr<sim::UsbDevice> device;
    {
      std::lock_guard lock(mutex_);
      if (port >= kPorts || ports_[port] == nullptr) return false;
      device = std::move(ports_[port]);
    }
    // The camera leaves the wire first: what it was doing fails as on a
    // real unplug, then the bus reports it gone.
    host_.Unplug(device);
    PortRequest request = {port};
    DWORD bytes = 0;
    if (!DeviceIoControl(answer_, kIoctlUnplug, &request, sizeof(request), nullptr, 0, &bytes,
                         nullptr)) {
      if (report) Fail("unplug");
      return false;
    }
    return true;
  }

 private:
  void FetchLoop() {
    std::vector<uint64_t> buffer(kRequestBufferBytes / 8);
    while (!stop_) {
      DWORD bytes = 0;
      if (!DeviceIoControl(fetch_, kIoctlGetRequest, nullptr, 0, buffer.data(),
                           kRequestBufferBytes, &bytes, nullptr)) {
        if (stop_) break;
        Fail("fetching a request");
        Sleep(10);
        continue;
      }
      if (bytes < sizeof(RequestHeader)) continue;
      Handle(reinterpret_cast<const uint8_t*>(buffer.data()), bytes);
    }
  }

  void Handle(const uint8_t* in, DWORD bytes) {
    RequestHeader header;
    std::memcpy(&header, in, sizeof(header));
    if (header.kind == RequestKind::kCancel) {
      std::shared_ptr<Request> r;
      {
        std::lock_guard lock(mutex_);
        auto it = requests_.find(header.tag);
        if (it != requests_.end()) r = it->second;
      }
      if (r) r->device->Cancel(r->header());
      return;
    }
    std::shared_ptr<sim::UsbDevice> device;
    {
      std::lock_guard lock(mutex_);
      if (header.port < kPorts) device = ports_[header.port];
    }
    if (device == nullptr) {
      Answer(header.tag, static_cast<int32_t>(kStatusDeviceNotConnected), nullptr);
      return;
    }
    if (header.kind == RequestKind::kReset) {
      Answer(header.tag, static_cast<int32_t>(device->ResetPort()), nullptr);
      return;
    }
    if (sizeof(header) + Padded(header.urb_length) + static_cast<uint64_t>(header.data_length) >
            bytes ||
        header.urb_length < sizeof(usb::UrbHeader)) {
      Answer(header.tag, static_cast<int32_t>(kStatusInvalidParameter), nullptr);
      return;
    }
    auto r = std::make_shared<Request>();
    r->tag = header.tag;
    r->device = device;
    r->urb_length = header.urb_length;
    r->urb.assign(Padded(header.urb_length) / 8, 0);
    std::memcpy(r->urb.data(), in + sizeof(header), header.urb_length);
    const uint16_t function = r->header()->Function;
    if (HasTransferBuffer(function)) {
      // The camera writes into, or reads from, the program's own copy of the
      // function driver's buffer.
      usb::UrbBulkOrInterruptTransfer* t = r->transfer();
      r->data.assign(t->TransferBufferLength, 0);
      if (header.data_length > 0)
        std::memcpy(r->data.data(), in + sizeof(header) + Padded(header.urb_length),
                    std::min<size_t>(header.data_length, r->data.size()));
      t->TransferBuffer = r->data.empty() ? nullptr : r->data.data();
      t->TransferBufferMDL = nullptr;
      t->UrbLink = nullptr;
    }
    {
      std::lock_guard lock(mutex_);
      requests_[r->tag] = r;
    }
    device->Submit(r->header(), [this, r](NtStatus status) {
      {
        std::lock_guard lock(mutex_);
        requests_.erase(r->tag);
      }
      Answer(r->tag, static_cast<int32_t>(status), r.get());
    });
  }

  void Answer(uint64_t tag, int32_t status, Request* r) {
    CompletionHeader header = {};
    header.tag = tag;
    header.status = status;
    const uint8_t* data = nullptr;
    if (r != nullptr) {
      header.urb_length = r->urb_length;
      if (HasTransferBuffer(r->header()->Function)) {
        // Everything the buffer holds goes back: isochronous packets land
        // anywhere in it, and data going out comes back unchanged.
        header.data_length = static_cast<uint32_t>(r->data.size());
        data = r->data.data();
      }
    }
    std::vector<uint8_t> message(sizeof(header) + Padded(header.urb_length) +
                                 header.data_length);
    std::memcpy(message.data(), &header, sizeof(header));
    if (r != nullptr) std::memcpy(message.data() + sizeof(header), r->urb.data(), r->urb_length);
    if (data != nullptr && header.data_length > 0)
      std::memcpy(message.data() + sizeof(header) + Padded(header.urb_length), data,
                  header.data_length);
    DWORD bytes = 0;
    std::lock_guard lock(answer_mutex_);
    DeviceIoControl(answer_, kIoctlComplete, message.data(), static_cast<DWORD>(message.size()),
                    nullptr, 0, &bytes, nullptr);
  }

  sim::UsbHost host_;
  HANDLE fetch_ = INVALID_HANDLE_VALUE;
  HANDLE answer_ = INVALID_HANDLE_VALUE;
  std::mutex mutex_;
  std::mutex answer_mutex_;
  std::shared_ptr<sim::UsbDevice> ports_[kPorts];
  std::map<uint64_t, std::shared_ptr<Request>> requests_;
  std::atomic<bool> stop_{false};
  std::thread fetcher_;
};

int Serve() {
  Server server;
  if (!server.Open()) return Fail("opening \\\\.\\VkUsbBus");
  server.Start();
  std::printf("ready\n");
  std::fflush(stdout);
  int plugged = 0;
  char line[128];
  while (std::fgets(line, sizeof(line), stdin) != nullptr) {
    unsigned port = 0;
    if (std::strncmp(line, "plug", 4) == 0) {
      const int p = server.Plug(plugged);
      if (p >= 0) ++plugged;
      std::printf(p >= 0 ? "plugged %d\n" : "plug failed\n", p);
    } else if (std::sscanf(line, "unplug %u", &port) == 1) {
      std::printf(server.Unplug(port) ? "unplugged %u\n" : "unplug failed\n", port);
    } else if (std::strncmp(line, "quit", 4) == 0) {
      break;
    } else {
      std::printf("unknown command\n");
    }
    std::fflush(stdout);
  }
  server.Stop();
  std::printf("stopped\n");
  std::fflush(stdout);
  return 0;
}

}  // namespace
}  // namespace vk::winebus

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "install") == 0) return vk::winebus::Install(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "serve") == 0) return vk::winebus::Serve();
  std::fprintf(stderr, "usage: vkbusctl install DIR | vkbusctl serve\n");
  return 2;
}
