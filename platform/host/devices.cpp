// CreateFileA and the file calls of the Linux host. Device paths go to the
// installed device opener (the simulated I/O manager).
#include <cstring>

#include "platform/host/host_objects.h"
#include "platform/host/win32_api.h"

namespace vk::host {
namespace {

std::mutex g_opener_mutex;
DeviceOpener& Opener() {
  static DeviceOpener* opener = new DeviceOpener;
  return *opener;
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
}

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
  if (std::strncmp(name, "\\\\.\\", 4) != 0) {
    // Plain files are opened with the C and C++ libraries, not through here.
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  vk::host::DeviceOpener opener;
  {
    std::lock_guard lock(vk::host::g_opener_mutex);
    opener = vk::host::Opener();
  }
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
