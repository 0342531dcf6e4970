// CreateFileA and the file calls of the Linux host. Device paths go to the
// installed device opener (the simulated I/O manager).
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/host/host_objects.h"
#include "platform/host/win32_api.h"

namespace vk::host {
namespace {

std::mutex g_opener_mutex;
DeviceOpener& Opener() {
  static DeviceOpener* opener = new DeviceOpener;
  return *opener;
}
// Whether an opener was installed or removed on purpose; until then the
// first device path loads the simulated machine, libvkworld.
bool g_opener_chosen = false;

// libvkworld lives beside libvkhost; its install function sets the opener.
void LoadWorld() {
  Dl_info info{};
  std::string path = "libvkworld.so";
  if (::dladdr(reinterpret_cast<void*>(&LoadWorld), &info) && info.dli_fname) {
    const std::string self = info.dli_fname;
    const size_t slash = self.rfind('/');
    if (slash != std::string::npos) path = self.substr(0, slash + 1) + path;
  }
  void* world = ::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (world == nullptr) world = ::dlopen("libvkworld.so", RTLD_NOW | RTLD_GLOBAL);
  if (world == nullptr) {
    std::fprintf(stderr, "vkhost: no simulated machine: %s\n", ::dlerror());
    return;
  }
  auto install = reinterpret_cast<void (*)()>(::dlsym(world, "vkworld_install"));
  if (install) install();
}

DeviceOpener CurrentOpener() {
  bool load = false;
  {
    std::lock_guard lock(g_opener_mutex);
    load = !g_opener_chosen;
  }
  if (load) LoadWorld();
  std::lock_guard lock(g_opener_mutex);
  g_opener_chosen = true;
  return Opener();
}

std::shared_ptr<HostFile> FileOf(HANDLE handle) {
  auto file = LookupHandleAs<HostFile>(handle);
  if (!file) SetLastError(ERROR_INVALID_HANDLE);
  return file;
}

}  // namespace

void SetDeviceOpener(DeviceOpener opener) {
  std::lock_guard lock(g_opener_mutex);
  Opener() = std::move(opener);
  g_opener_chosen = true;
}

}  // namespace vk::host

namespace vk::host {
namespace {

// An ordinary file: synchronous reads and writes on a descriptor. An
// OVERLAPPED, when given, is completed before the call returns.
class PlainFile final : public HostFile {
 public:
  explicit PlainFile(int fd) : fd_(fd) {}
  ~PlainFile() override { ::close(fd_); }

  BOOL Read(LPVOID buffer, DWORD size, LPDWORD read,
            LPOVERLAPPED overlapped) override {
    const ssize_t n = ::read(fd_, buffer, size);
    return Done(n, read, overlapped);
  }
  BOOL Write(LPCVOID buffer, DWORD size, LPDWORD written,
             LPOVERLAPPED overlapped) override {
    const ssize_t n = ::write(fd_, buffer, size);
    return Done(n, written, overlapped);
  }
  BOOL GetOverlappedResult(LPOVERLAPPED overlapped, LPDWORD transferred,
                           BOOL) override {
    if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    return overlapped->Internal == 0;
  }

 private:
  static BOOL Done(ssize_t n, LPDWORD count, LPOVERLAPPED overlapped) {
    if (count) *count = n < 0 ? 0 : static_cast<DWORD>(n);
    if (overlapped) {
      overlapped->Internal = n < 0 ? 1 : 0;
      overlapped->InternalHigh = n < 0 ? 0 : static_cast<ULONG_PTR>(n);
      if (overlapped->hEvent) SetEvent(overlapped->hEvent);
    }
    if (n < 0) SetLastError(ERROR_GEN_FAILURE);
    return n >= 0;
  }
  int fd_;
};

DWORD ErrorOfErrno(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return 80;  // ERROR_FILE_EXISTS
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    default: return ERROR_GEN_FAILURE;
  }
}

HANDLE OpenPlainFile(const char* name, DWORD access, DWORD disposition) {
  int flags = O_CLOEXEC;
  const bool reads = access & GENERIC_READ, writes = access & GENERIC_WRITE;
  flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case 5: flags |= O_TRUNC; break;  // TRUNCATE_EXISTING
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  std::string path = name;
  for (char& c : path) c = c == '\\' ? '/' : c;
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    SetLastError(ErrorOfErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  return RegisterHandle(std::make_shared<PlainFile>(fd));
}

}  // namespace
}  // namespace vk::host

using vk::host::FileOf;

extern "C" {

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                   HANDLE) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (std::strncmp(name, "\\\\.\\", 4) != 0)
    return vk::host::OpenPlainFile(name, access, disposition);
  const vk::host::DeviceOpener opener = vk::host::CurrentOpener();
  DWORD error = ERROR_FILE_NOT_FOUND;
  std::shared_ptr<vk::host::HostFile> file;
  if (opener && disposition == OPEN_EXISTING)
    file = opener(name, access, share, flags, &error);
  if (!file) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return vk::host::RegisterHandle(std::move(file));
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                     LPVOID out, DWORD out_size, LPDWORD returned,
                     LPOVERLAPPED overlapped) {
  auto file = FileOf(device);
  return file ? file->DeviceIoControl(code, in, in_size, out, out_size,
                                      returned, overlapped)
              : FALSE;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD read,
              LPOVERLAPPED overlapped) {
  auto file = FileOf(handle);
  return file ? file->Read(buffer, size, read, overlapped) : FALSE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD written,
               LPOVERLAPPED overlapped) {
  auto file = FileOf(handle);
  return file ? file->Write(buffer, size, written, overlapped) : FALSE;
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped,
                         LPDWORD transferred, BOOL wait) {
  auto file = FileOf(handle);
  return file ? file->GetOverlappedResult(overlapped, transferred, wait)
              : FALSE;
}

BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  auto file = FileOf(handle);
  return file ? file->Cancel(overlapped) : FALSE;
}

}  // extern "C"
