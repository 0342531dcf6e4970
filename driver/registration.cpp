// Registration of the camera for video applications: the configured filter
// set (classes and modules named by the settings, under the native and the
// 32-bit class roots) and the per-camera filter set (a class identifier of
// its own, the maker key describing the camera, four property pages). A
// system thread writes them after each start; removal deletes them. Every
// key the driver creates is volatile.
#include "driver/driver.h"
#include "driver/wide_string.h"

namespace vk::drv {
namespace {

using kernel::KernelPort;

constexpr int kAttempts = 50;
constexpr uint32_t kAttemptDelayMs = 500;
constexpr size_t kPath = 512;
constexpr int kIdentifiers = 8;

constexpr char16_t kClassRoot[] = u"\\Registry\\Machine\\Software\\Classes\\CLSID\\";
constexpr char16_t kClassRoot32[] =
    u"\\Registry\\Machine\\Software\\Classes\\WOW6432Node\\CLSID\\";
constexpr char16_t kMakerKey[] = u"\\Registry\\Machine\\Software\\Velmoran camera";
constexpr char16_t kVideoInputCategory[] = u"{860BB310-5D01-11d0-BD3B-00A0C911CE86}";
constexpr char16_t kLegacyFilterCategory[] = u"{083863F1-70DE-11d0-BD40-00A0C911CE86}";
constexpr char16_t kFilterModule[] = u"Roduvuradad.ir";
constexpr char16_t kIdentifierPrefix[] = u"{42ED05EB-B22B-46BB-BE60-336B1B7D2E";

struct Page {
  const char16_t* clsid;
  const char16_t* name;
};
constexpr Page kPages[] = {
    {u"{B35958B2-43D8-49C7-862D-A7A8EEE7C650}", u"CameraPage"},
    {u"{8AE7A9E1-A3A5-4A9F-BD8B-742732DBF215}", u"ISP Page"},
    {u"{B0155ED4-40F0-424A-A586-3DFA283AC70A}", u"Exposure Page"},
    {u"{79482626-8DE6-4D7A-A314-5B951734D190}", u"Resolustion Page"},
};

// A path built from parts; empty when it would not fit.
class Path {
 public:
  explicit Path(const char16_t* first) { WideCopy(text_, first); }
  Path& operator+(const char16_t* part) {
    if (!WideAppend(text_, part)) text_[0] = 0;
    return *this;
  }
  const char16_t* c_str() const { return text_; }

 private:
  char16_t text_[kPath];
};

// Creates `path` and every missing key above it below "\Registry\Machine",
// one level at a time, volatile; the key itself stays open.
kernel::RegistryKey* CreateKeyPath(KernelPort& port, const char16_t* path) {
  if (path[0] == 0) return nullptr;
  char16_t prefix[kPath];
  int separators = 0;
  for (size_t i = 0; path[i] != 0; ++i) {
    if (path[i] != u'\\' || ++separators <= 3) continue;
    if (!WideCopy(prefix, path)) return nullptr;
    prefix[i] = 0;
    kernel::RegistryKey* key = nullptr;
    if (!NtSuccess(port.CreateKey(prefix, true, &key, nullptr))) return nullptr;
    port.CloseKey(key);
  }
  kernel::RegistryKey* key = nullptr;
  return NtSuccess(port.CreateKey(path, true, &key, nullptr)) ? key : nullptr;
}

// One key: created, given its values, closed.
class KeyWriter {
 public:
  KeyWriter(KernelPort& port, const char16_t* path)
      : port_(port), key_(CreateKeyPath(port, path)) {}
  ~KeyWriter() {
    if (key_) port_.CloseKey(key_);
  }
  KeyWriter(const KeyWriter&) = delete;
  KeyWriter& operator=(const KeyWriter&) = delete;

  bool ok() const { return key_ != nullptr; }
  KeyWriter& String(const char16_t* name, const char16_t* value) {
    if (key_) {
      const auto bytes = static_cast<uint32_t>((WideLength(value) + 1) * sizeof(char16_t));
      port_.SetValue(key_, name, kernel::kRegSz, value, bytes);
    }
    return *this;
  }
  KeyWriter& Binary(const char16_t* name, const uint8_t* data, uint32_t size) {
    if (key_ && size != 0) port_.SetValue(key_, name, kernel::kRegBinary, data, size);
    return *this;
  }

 private:
  KernelPort& port_;
  kernel::RegistryKey* key_;
};

// A class registration: default value, and the in-process server module.
bool WriteClass(KernelPort& port, const char16_t* root, const char16_t* clsid,
                const char16_t* name, const char16_t* module) {
  KeyWriter key(port, (Path(root) + clsid).c_str());
  if (!key.String(u"", name).ok()) return false;
  KeyWriter server(port, (Path(root) + clsid + u"\\InprocServer32").c_str());
  return server.String(u"", module).String(u"ThreadingModel", u"Both").ok();
}

bool WriteInstance(KernelPort& port, const char16_t* root, const char16_t* category,
                   const char16_t* instance, const char16_t* friendly_name,
                   const char16_t* clsid, const uint8_t* data, uint32_t size) {
  KeyWriter key(port, (Path(root) + category + u"\\Instance\\" + instance).c_str());
  return key.String(u"FriendlyName", friendly_name).String(u"CLSID", clsid)
      .Binary(u"FilterData", data, size)
      .ok();
}

bool WriteConfiguredSet(KernelPort& port, const InstanceConfig& c, const char16_t* root,
                        const char16_t* module) {
  return WriteClass(port, root, c.camera_guid, c.dev_desc, module) &&
         WriteClass(port, root, c.setup_guid, c.setup_page, module) &&
         WriteClass(port, root, c.size_guid, c.size_page, module) &&
         WriteInstance(port, root, kLegacyFilterCategory, c.camera_guid, c.dev_desc,
                       c.camera_guid, c.video_filter_data, c.video_filter_data_length) &&
         WriteInstance(port, root, kVideoInputCategory, c.dev_desc, c.dev_desc, c.camera_guid,
                       c.capture_filter_data, c.capture_filter_data_length);
}

// Waits before an attempt; false once the camera is going away, so that
// removal never waits through the remaining attempts.
bool WaitForAttempt(DeviceExtension* ext) {
  if (kernel::LoadByte(&ext->removing)) return false;
  ext->driver->port->Delay(kAttemptDelayMs);
  return !kernel::LoadByte(&ext->removing);
}

void WriteConfiguredFilters(DeviceExtension* ext) {
  const InstanceConfig& c = *ext->settings;
  if (!c.register_configured) return;
  KernelPort& port = *ext->driver->port;
  for (int attempt = 0; attempt < kAttempts && WaitForAttempt(ext); ++attempt) {
    if (WriteConfiguredSet(port, c, kClassRoot, c.dshow64) &&
        WriteConfiguredSet(port, c, kClassRoot32, c.dshow))
      return;
  }
}

void IdentifierText(int j, char16_t* out, size_t capacity) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  const char16_t digits[] = {kHex[(j >> 4) & 15], kHex[j & 15], u'}', 0};
  WideCopy(out, capacity, kIdentifierPrefix);
  WideAppend(out, capacity, digits);
}

enum class Choice { kTaken, kFailed, kNoneFree };

// The lowest identifier whose maker key does not exist yet; its key is
// created at once. Cameras choose one at a time, so two never take the
// same identifier.
Choice ChooseIdentifier(DeviceExtension* ext) {
  KernelPort& port = *ext->driver->port;
  InstanceConfig& c = *ext->settings;
  DriverState& driver = *ext->driver;
  port.WaitForEvent(&driver.registration_lock);
  Choice choice = Choice::kNoneFree;
  for (int j = 0; j < kIdentifiers; ++j) {
    IdentifierText(j, c.filter_clsid, sizeof(c.filter_clsid) / sizeof(char16_t));
    WideCopy(c.maker_key_path, kMakerKey);
    WideAppend(c.maker_key_path, u"\\");
    WideAppend(c.maker_key_path, c.filter_clsid);
    kernel::RegistryKey* existing = nullptr;
    if (NtSuccess(port.OpenKey(c.maker_key_path, &existing))) {
      port.CloseKey(existing);
      continue;
    }
    choice = Choice::kFailed;
    KeyWriter maker(port, kMakerKey);
    if (maker.ok()) {
      KeyWriter camera(port, c.maker_key_path);
      if (camera.ok()) choice = Choice::kTaken;
    }
    break;
  }
  if (choice == Choice::kNoneFree) {
    c.maker_key_path[0] = 0;
    c.filter_clsid[0] = 0;
  }
  port.SetEvent(&driver.registration_lock);
  return choice;
}

bool WritePerCameraSet(DeviceExtension* ext) {
  KernelPort& port = *ext->driver->port;
  const InstanceConfig& c = *ext->settings;
  KeyWriter maker(port, c.maker_key_path);
  maker.String(u"FirmwareVersion", u"")
      .String(u"FriendlyName", c.dev_desc)
      .String(u"LinkName", c.link_name)
      .String(u"PortType", u"USBCamera")
      .String(u"ProductName", c.dev_name)
      .String(u"ProductSeries", c.series);
  if (!maker.ok() || !WriteClass(port, kClassRoot, c.filter_clsid, c.dev_desc, kFilterModule))
    return false;
  for (const Page& page : kPages)
    if (!WriteClass(port, kClassRoot, page.clsid, page.name, kFilterModule)) return false;
  return WriteInstance(port, kClassRoot, kLegacyFilterCategory, c.filter_clsid, c.dev_desc,
                       c.filter_clsid, nullptr, 0) &&
         WriteInstance(port, kClassRoot, kVideoInputCategory, c.dev_desc, c.dev_desc,
                       c.filter_clsid, nullptr, 0);
}

NtStatus WritePerCameraFilters(DeviceExtension* ext) {
  if (!ext->settings->register_per_camera) return kStatusUnsuccessful;
  // An identifier once taken stays the camera's through the retries:
  // choosing again would find its own key and take the next one, leaving
  // the first behind for ever.
  bool taken = false;
  for (int attempt = 0; attempt < kAttempts && WaitForAttempt(ext); ++attempt) {
    if (!taken) {
      const Choice choice = ChooseIdentifier(ext);
      if (choice == Choice::kNoneFree) return kStatusUnsuccessful;
      taken = choice == Choice::kTaken;
      if (!taken) continue;
    }
    if (WritePerCameraSet(ext)) return kStatusSuccess;
  }
  return kStatusUnsuccessful;
}

void DeleteKey(KernelPort& port, const char16_t* path) {
  kernel::RegistryKey* key = nullptr;
  if (path[0] == 0 || !NtSuccess(port.OpenKey(path, &key))) return;
  port.DeleteKey(key);
  port.CloseKey(key);
}

void RemoveConfiguredSet(KernelPort& port, const InstanceConfig& c, const char16_t* root) {
  const char16_t* const classes[] = {c.camera_guid, c.setup_guid, c.size_guid};
  for (const char16_t* clsid : classes)
    DeleteKey(port, (Path(root) + clsid + u"\\InprocServer32").c_str());
  DeleteKey(port, (Path(root) + kVideoInputCategory + u"\\Instance\\" + c.dev_desc).c_str());
  DeleteKey(port, (Path(root) + kLegacyFilterCategory + u"\\Instance\\" + c.camera_guid).c_str());
  for (const char16_t* clsid : classes) DeleteKey(port, (Path(root) + clsid).c_str());
}

void RemovePerCameraSet(KernelPort& port, const InstanceConfig& c) {
  if (c.filter_clsid[0] == 0) return;
  DeleteKey(port, c.maker_key_path);
  DeleteKey(port, (Path(kClassRoot) + c.filter_clsid + u"\\InprocServer32").c_str());
  for (const Page& page : kPages)
    DeleteKey(port, (Path(kClassRoot) + page.clsid + u"\\InprocServer32").c_str());
  DeleteKey(port, (Path(kClassRoot) + kLegacyFilterCategory + u"\\Instance\\" + c.filter_clsid)
                      .c_str());
  DeleteKey(port,
            (Path(kClassRoot) + kVideoInputCategory + u"\\Instance\\" + c.dev_desc).c_str());
  DeleteKey(port, (Path(kClassRoot) + c.filter_clsid).c_str());
  for (const Page& page : kPages) DeleteKey(port, (Path(kClassRoot) + page.clsid).c_str());
}

}  // namespace

void RegistrationThread(void* context) {
  auto* device = static_cast<kernel::DeviceObject*>(context);
  DeviceExtension* ext = ExtensionOf(device);
  if (!ext->settings) return;
  WriteConfiguredFilters(ext);
  WritePerCameraFilters(ext);
}

void RemoveRegistration(DeviceExtension* ext) {
  if (!ext->settings) return;
  KernelPort& port = *ext->driver->port;
  const InstanceConfig& c = *ext->settings;
  if (c.register_configured) {
    RemoveConfiguredSet(port, c, kClassRoot);
    RemoveConfiguredSet(port, c, kClassRoot32);
  }
  if (c.register_per_camera) RemovePerCameraSet(port, c);
}

}  // namespace vk::drv
