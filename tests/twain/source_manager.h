// The test program plays the TWAIN source manager: it exports DSM_Entry,
// which the data source reaches when it loads "twain_32.dll", and counts
// the notifications.
#pragma once

#include <atomic>

namespace vk::twain::testing {

extern std::atomic<int> transfers_ready;
extern std::atomic<int> close_requests;

}  // namespace vk::twain::testing
