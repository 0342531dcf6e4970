#include "tools/vkcam/twain_manager.h"

#include <atomic>
#include <cstdlib>

namespace vk::tools {
namespace {

using namespace twain;

// The source's notice waiting for the application; one at a time, as the
// manager keeps it.
std::atomic<TW_UINT16> g_notice{MSG_NULL};
// The version played: beside a 2.x manager there is no "twain_32.dll", so
// a notice sent there is lost.
std::atomic<int> g_version{2};

TW_UINT16 Keep(TW_UINT16 dat, TW_UINT16 msg) {
  if (dat != DAT_NULL) return TWRC_FAILURE;
  if (msg != MSG_XFERREADY && msg != MSG_CLOSEDSREQ && msg != MSG_CLOSEDSOK)
    return TWRC_FAILURE;
  g_notice = msg;
  return TWRC_SUCCESS;
}

TW_UINT16 TWAIN_CALL ManagerEntry(TW_IDENTITY*, TW_IDENTITY*, TW_UINT32,
                                  TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF) {
  return Keep(dat, msg);
}

#ifdef _WIN32
TW_HANDLE TWAIN_CALL MemAllocate(TW_UINT32 bytes) {
  return bytes ? GlobalAlloc(GPTR, bytes) : nullptr;
}
void TWAIN_CALL MemFree(TW_HANDLE handle) {
  if (handle) GlobalFree(handle);
}
TW_MEMREF TWAIN_CALL MemLock(TW_HANDLE handle) {
  return handle ? GlobalLock(handle) : nullptr;
}
void TWAIN_CALL MemUnlock(TW_HANDLE handle) {
  if (handle) GlobalUnlock(handle);
}
#else
TW_HANDLE MemAllocate(TW_UINT32 bytes) {
  return bytes ? std::calloc(bytes, 1) : nullptr;
}
void MemFree(TW_HANDLE handle) { std::free(handle); }
TW_MEMREF MemLock(TW_HANDLE handle) { return handle; }
void MemUnlock(TW_HANDLE) {}
#endif

}  // namespace

TwainManager::TwainManager(int version) : version_(version) {
  g_version = version;
}

TW_UINT16 TwainManager::OpenSource(const Entry& entry, TW_IDENTITY* app,
                                   TW_IDENTITY* source) const {
  g_notice = MSG_NULL;
  if (version_ >= 2 && (source->SupportedGroups & DF_DS2)) {
    TW_ENTRYPOINT points = {sizeof(TW_ENTRYPOINT),
                            &ManagerEntry,
                            &MemAllocate,
                            &MemFree,
                            &MemLock,
                            &MemUnlock};
    // A source that refuses them is not opened.
    if (entry(app, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points) !=
        TWRC_SUCCESS)
      return TWRC_FAILURE;
  }
  return entry(app, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, source);
}

TW_UINT16 TwainManager::TakeNotice() { return g_notice.exchange(MSG_NULL); }

TW_HANDLE TwainManager::Allocate(size_t bytes) const {
  if (version_ >= 2) return MemAllocate(static_cast<TW_UINT32>(bytes));
  return GlobalAlloc(GHND, bytes);
}

void* TwainManager::Lock(TW_HANDLE handle) const {
  return version_ >= 2 ? MemLock(handle) : GlobalLock(handle);
}

void TwainManager::Unlock(TW_HANDLE handle) const {
  if (version_ >= 2) {
    MemUnlock(handle);
  } else {
    GlobalUnlock(handle);
  }
}

void TwainManager::Free(TW_HANDLE handle) const {
  if (version_ >= 2) {
    MemFree(handle);
  } else {
    GlobalFree(handle);
  }
}

}  // namespace vk::tools

// The 1.x manager's entry, which the source reaches as "twain_32.dll".
extern "C"
#ifdef _WIN32
    __declspec(dllexport)
#else
    __attribute__((visibility("default")))
#endif
        vk::twain::TW_UINT16 TWAIN_CALL
    DSM_Entry(vk::twain::TW_IDENTITY*, vk::twain::TW_IDENTITY*,
              vk::twain::TW_UINT32, vk::twain::TW_UINT16 dat,
              vk::twain::TW_UINT16 msg, vk::twain::TW_MEMREF) {
  if (vk::tools::g_version >= 2) return vk::twain::TWRC_FAILURE;
  return vk::tools::Keep(dat, msg);
}
