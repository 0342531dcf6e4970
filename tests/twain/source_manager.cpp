#include "tests/twain/source_manager.h"

#include <cstdlib>
#include <mutex>
#include <set>

namespace vk::twain::testing {
namespace {

std::mutex g_blocks_lock;
std::set<void*> g_blocks;

TW_UINT16 Manager2Entry(TW_IDENTITY*, TW_IDENTITY*, TW_UINT32, TW_UINT16,
                        TW_UINT16 msg, TW_MEMREF) {
  if (msg == MSG_XFERREADY) ++manager2_transfers_ready;
  if (msg == MSG_CLOSEDSREQ) ++manager2_close_requests;
  return TWRC_SUCCESS;
}

TW_HANDLE Allocate(TW_UINT32 bytes) {
  if (bytes == 0) return nullptr;
  void* p = std::calloc(bytes, 1);
  std::lock_guard lock(g_blocks_lock);
  g_blocks.insert(p);
  return p;
}

void Free(TW_HANDLE handle) {
  if (!handle) return;
  {
    std::lock_guard lock(g_blocks_lock);
    if (g_blocks.erase(handle) == 0) std::abort();  // not ours: a fault to see
  }
  std::free(handle);
}

TW_MEMREF Lock(TW_HANDLE handle) { return handle; }
void Unlock(TW_HANDLE) {}

}  // namespace

std::atomic<int> transfers_ready{0};
std::atomic<int> close_requests{0};
std::atomic<int> manager2_transfers_ready{0};
std::atomic<int> manager2_close_requests{0};

TW_ENTRYPOINT Manager2EntryPoints() {
  return {
      sizeof(TW_ENTRYPOINT), &Manager2Entry, &Allocate, &Free, &Lock, &Unlock};
}

bool IsManager2Block(TW_HANDLE handle) {
  std::lock_guard lock(g_blocks_lock);
  return g_blocks.count(handle) != 0;
}

int Manager2Blocks() {
  std::lock_guard lock(g_blocks_lock);
  return static_cast<int>(g_blocks.size());
}

void ResetManager2() {
  manager2_transfers_ready = 0;
  manager2_close_requests = 0;
}

}  // namespace vk::twain::testing

extern "C" __attribute__((visibility("default"))) vk::twain::TW_UINT16 DSM_Entry(
    vk::twain::TW_IDENTITY*, vk::twain::TW_IDENTITY*, vk::twain::TW_UINT32,
    vk::twain::TW_UINT16, vk::twain::TW_UINT16 msg, vk::twain::TW_MEMREF) {
  if (msg == vk::twain::MSG_XFERREADY) ++vk::twain::testing::transfers_ready;
  if (msg == vk::twain::MSG_CLOSEDSREQ) ++vk::twain::testing::close_requests;
  return vk::twain::TWRC_SUCCESS;
}
