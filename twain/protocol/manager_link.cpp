#include "twain/protocol/manager_link.h"

#include <cstring>

namespace vk::twain {
namespace {

constexpr char kSourceManager[] = "twain_32.dll";

}  // namespace

bool CManagerLink::SetEntryPoints(const TW_ENTRYPOINT& points) {
  TW_ENTRYPOINT copy;
  std::memcpy(&copy, &points, sizeof(copy));
  if (copy.Size < sizeof(TW_ENTRYPOINT) || !copy.DSM_Entry ||
      !copy.DSM_MemAllocate || !copy.DSM_MemFree || !copy.DSM_MemLock ||
      !copy.DSM_MemUnlock)
    return false;
  entry_points_ = copy;
  return true;
}

bool CManagerLink::GetEntryPoints(TW_ENTRYPOINT* points) const {
  if (!has_entry_points()) return false;
  std::memcpy(points, &entry_points_, sizeof(entry_points_));
  return true;
}

DSMENTRYPROC CManagerLink::Reach(HMODULE* module) const {
  *module = nullptr;
  if (has_entry_points()) return entry_points_.DSM_Entry;
  HMODULE manager = LoadLibraryA(kSourceManager);
  if (!manager) return nullptr;
  auto entry = reinterpret_cast<DSMENTRYPROC>(
      reinterpret_cast<void*>(GetProcAddress(manager, "DSM_Entry")));
  if (!entry) {
    FreeLibrary(manager);
    return nullptr;
  }
  *module = manager;
  return entry;
}

void CManagerLink::Release(HMODULE module) {
  if (module) FreeLibrary(module);
}

TW_HANDLE CManagerLink::Allocate(size_t bytes) const {
  if (!has_entry_points()) return GlobalAlloc(GHND, bytes);
  // The manager's allocation takes 32 bits and refuses nothing at all.
  if (bytes == 0 || bytes > 0xFFFFFFFFu) return nullptr;
  TW_HANDLE handle =
      entry_points_.DSM_MemAllocate(static_cast<TW_UINT32>(bytes));
  if (!handle) return nullptr;
  void* p = entry_points_.DSM_MemLock(handle);
  if (!p) {
    entry_points_.DSM_MemFree(handle);
    return nullptr;
  }
  std::memset(p, 0, bytes);
  entry_points_.DSM_MemUnlock(handle);
  return handle;
}

void* CManagerLink::Lock(TW_HANDLE handle) const {
  if (!handle) return nullptr;
  return has_entry_points() ? entry_points_.DSM_MemLock(handle)
                            : GlobalLock(handle);
}

void CManagerLink::Unlock(TW_HANDLE handle) const {
  if (!handle) return;
  if (has_entry_points()) {
    entry_points_.DSM_MemUnlock(handle);
  } else {
    GlobalUnlock(handle);
  }
}

void CManagerLink::Free(TW_HANDLE handle) const {
  if (!handle) return;
  if (has_entry_points()) {
    entry_points_.DSM_MemFree(handle);
  } else {
    GlobalFree(handle);
  }
}

size_t CManagerLink::Size(TW_HANDLE handle) const {
  return has_entry_points() ? kUnknownSize : GlobalSize(handle);
}

}  // namespace vk::twain
