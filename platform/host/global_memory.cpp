// GlobalAlloc and friends with Windows' handle semantics: a fixed block's
// handle is its address; a movable block has a handle distinct from its
// address, a lock count, and may move when reallocated. Every handle and
// pointer is checked against the live blocks, so a stale or foreign one is
// refused with ERROR_INVALID_HANDLE instead of corrupting memory.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/host/win32_api.h"

namespace {

struct Block {
  void* data = nullptr;
  SIZE_T size = 0;
  bool movable = false;
  UINT locks = 0;
};

struct Heap {
  std::mutex mutex;
  std::unordered_map<HGLOBAL, Block> blocks;   // by handle
  std::unordered_map<const void*, HGLOBAL> by_data;  // address -> handle
};

Heap& TheHeap() {
  static auto* heap = new Heap;
  return *heap;
}

// Movable handles are tokens, never addresses: odd values that no
// allocation can return.
HGLOBAL NewToken() {
  static uintptr_t next = 0x10001;
  const uintptr_t token = next;
  next += 2;
  return reinterpret_cast<HGLOBAL>(token);
}

Block* Find(Heap& heap, HGLOBAL mem) {
  auto it = heap.blocks.find(mem);
  if (it == heap.blocks.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return &it->second;
}

// malloc(0) may return null; blocks always get a distinct address.
void* Allocate(SIZE_T bytes, bool zero) {
  void* p = zero ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
  return p;
}

}  // namespace

extern "C" {

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
  void* data = Allocate(bytes, (flags & GMEM_ZEROINIT) != 0);
  if (data == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  Heap& heap = TheHeap();
  std::lock_guard lock(heap.mutex);
  const bool movable = (flags & GMEM_MOVEABLE) != 0;
  HGLOBAL handle = movable ? NewToken() : data;
  heap.blocks[handle] = Block{data, bytes, movable, 0};
  heap.by_data[data] = handle;
  return handle;
}

HGLOBAL GlobalReAlloc(HGLOBAL mem, SIZE_T bytes, UINT flags) {
  Heap& heap = TheHeap();
  std::lock_guard lock(heap.mutex);
  Block* b = Find(heap, mem);
  if (b == nullptr) return nullptr;
  if (flags & GMEM_MODIFY) return mem;  // attribute changes are not kept
  // A fixed block may move only when the caller allows it, and then its
  // handle (its address) changes with it.
  const bool may_move = b->movable || (flags & GMEM_MOVEABLE);
  if (!may_move && bytes > b->size) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* data = b->data;
  if (may_move) {
    data = std::realloc(b->data, bytes ? bytes : 1);
    if (data == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  if ((flags & GMEM_ZEROINIT) && bytes > b->size)
    std::memset(static_cast<char*>(data) + b->size, 0, bytes - b->size);
  Block moved = *b;
  heap.by_data.erase(moved.data);
  heap.blocks.erase(mem);
  moved.data = data;
  moved.size = bytes;
  HGLOBAL handle = moved.movable ? mem : data;
  heap.blocks[handle] = moved;
  heap.by_data[data] = handle;
  return handle;
}

LPVOID GlobalLock(HGLOBAL mem) {
  Heap& heap = TheHeap();
  std::lock_guard lock(heap.mutex);
  Block* b = Find(heap, mem);
  if (b == nullptr) return nullptr;
  if (b->movable && b->locks < GMEM_LOCKCOUNT) ++b->locks;
  return b->data;
}

BOOL GlobalUnlock(HGLOBAL mem) {
  Heap& heap = TheHeap();
  std::lock_guard lock(heap.mutex);
  Block* b = Find(heap, mem);
  if (b == nullptr) return FALSE;
  if (!b->movable || b->locks == 0) {
    SetLastError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  if (--b->locks == 0) {
    SetLastError(NO_ERROR);
    return FALSE;
  }
  return TRUE;
}

HGLOBAL GlobalHandle(LPCVOID pointer) {
  Heap& heap = TheHeap();
  std::lock_guard lock(heap.mutex);
  auto it = heap.by_data.find(pointer);
  if (it == heap.by_data.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

SIZE_T GlobalSize(HGLOBAL mem) {
  Heap& heap = TheHeap();
  std::lock_guard lock(heap.mutex);
  Block* b = Find(heap, mem);
  return b ? b->size : 0;
}

UINT GlobalFlags(HGLOBAL mem) {
  Heap& heap = TheHeap();
  std::lock_guard lock(heap.mutex);
  Block* b = Find(heap, mem);
  return b ? (b->locks & GMEM_LOCKCOUNT) : GMEM_INVALID_HANDLE;
}

HGLOBAL GlobalFree(HGLOBAL mem) {
  Heap& heap = TheHeap();
  std::lock_guard lock(heap.mutex);
  Block* b = Find(heap, mem);
  if (b == nullptr) return mem;
  std::free(b->data);
  heap.by_data.erase(b->data);
  heap.blocks.erase(mem);
  return nullptr;
}

}  // extern "C"
