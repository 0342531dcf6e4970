// Time, system information, module names and dynamic libraries on the
// Linux host.
#include <dlfcn.h>
#include <strings.h>
#include <link.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <algorithm>

#include "platform/host/win32_api.h"

namespace {

// Copies `text` as GetModuleFileNameA does: truncated to size - 1 characters
// with ERROR_INSUFFICIENT_BUFFER when it does not fit.
DWORD CopyName(const std::string& text, LPSTR out, DWORD size) {
  if (out == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() >= size) {
    std::memcpy(out, text.data(), size - 1);
    out[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(out, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

std::string ExecutablePath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

extern "C" {

void Sleep(DWORD milliseconds) {
  // VKCAM_SLEEP_SCALE (e.g. 0.1) shortens every wait for stress tests that
  // open cameras hundreds of times; the order of events stays the same.
  static const double scale = [] {
    const char* v = std::getenv("VKCAM_SLEEP_SCALE");
    const double s = v ? std::atof(v) : 1.0;
    return s > 0 && s <= 1 ? s : 1.0;
  }();
  std::this_thread::sleep_for(std::chrono::microseconds(
      static_cast<int64_t>(milliseconds * 1000.0 * scale)));
}

DWORD GetTickCount() {
  return static_cast<DWORD>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void GetLocalTime(LPSYSTEMTIME out) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      now.time_since_epoch())
                      .count() %
                  1000;
  *out = SYSTEMTIME{static_cast<WORD>(tm.tm_year + 1900),
                    static_cast<WORD>(tm.tm_mon + 1),
                    static_cast<WORD>(tm.tm_wday),
                    static_cast<WORD>(tm.tm_mday),
                    static_cast<WORD>(tm.tm_hour),
                    static_cast<WORD>(tm.tm_min),
                    static_cast<WORD>(tm.tm_sec),
                    static_cast<WORD>(ms)};
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR name, DWORD size) {
  if (module == nullptr) return CopyName(ExecutablePath(), name, size);
  link_map* map = nullptr;
  if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  const std::string path = map->l_name && *map->l_name ? map->l_name
                                                       : ExecutablePath();
  return CopyName(path, name, size);
}

// The user's language from the locale environment, as a Windows LANGID.
LANGID GetUserDefaultLangID() {
  const char* lang = std::getenv("LC_ALL");
  if (!lang || !*lang) lang = std::getenv("LANG");
  const std::string l = lang ? lang : "";
  struct Entry {
    const char* prefix;
    LANGID id;
  };
  static constexpr Entry kLanguages[] = {
      {"zh_TW", 0x0404}, {"zh", 0x0804}, {"de", 0x0407}, {"fr", 0x040C},
      {"ja", 0x0411},    {"ko", 0x0412}, {"es", 0x0C0A}, {"it", 0x0410},
      {"ru", 0x0419},    {"en_GB", 0x0809}, {"en", 0x0409},
  };
  for (const Entry& e : kLanguages) {
    if (l.rfind(e.prefix, 0) == 0) return e.id;
  }
  return 0x0409;
}

void GetSystemInfo(LPSYSTEM_INFO info) {
  std::memset(info, 0, sizeof(*info));
  info->wProcessorArchitecture = 9;  // PROCESSOR_ARCHITECTURE_AMD64
  info->dwPageSize = static_cast<DWORD>(::sysconf(_SC_PAGESIZE));
  info->dwNumberOfProcessors =
      std::max(1u, std::thread::hardware_concurrency());
  info->dwActiveProcessorMask =
      info->dwNumberOfProcessors >= 64
          ? ~DWORD_PTR{0}
          : (DWORD_PTR{1} << info->dwNumberOfProcessors) - 1;
  info->dwProcessorType = 8664;  // PROCESSOR_AMD_X8664
  info->dwAllocationGranularity = 65536;
}

HMODULE LoadLibraryA(LPCSTR name) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The TWAIN source manager is the library VKCAM_TWAIN_DSM names, else the
  // application itself (which exports DSM_Entry when it plays that part).
  if (strcasecmp(name, "twain_32.dll") == 0) {
    const char* manager = std::getenv("VKCAM_TWAIN_DSM");
    void* handle = ::dlopen(manager && *manager ? manager : nullptr, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
    return static_cast<HMODULE>(handle);
  }
  void* handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  return static_cast<HMODULE>(handle);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (module == nullptr || name == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* symbol = ::dlsym(module, name);
  if (symbol == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
  if (module == nullptr || ::dlclose(module) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
