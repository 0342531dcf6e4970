// The test program plays the TWAIN source manager, of both kinds. As a 1.x
// manager it exports DSM_Entry, which the data source reaches when it loads
// "twain_32.dll". As a 2.x manager it hands over entry points as the TWAIN
// Working Group's manager does on Linux: its own DSM_Entry, and memory
// functions over plain allocations whose handle is the memory itself. Both
// count the notices they receive.
#pragma once

#include <atomic>

#include "twain/protocol/twain.h"

namespace vk::twain::testing {

// Notices through "twain_32.dll".
extern std::atomic<int> transfers_ready;
extern std::atomic<int> close_requests;

// Notices through the 2.x manager's entry point.
extern std::atomic<int> manager2_transfers_ready;
extern std::atomic<int> manager2_close_requests;

TW_ENTRYPOINT Manager2EntryPoints();
// True while `handle` is a live block of the 2.x manager's memory.
bool IsManager2Block(TW_HANDLE handle);
int Manager2Blocks();  // live blocks
void ResetManager2();

}  // namespace vk::twain::testing
