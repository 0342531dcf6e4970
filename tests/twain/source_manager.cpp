#include "tests/twain/source_manager.h"

#include "twain/protocol/twain.h"

namespace vk::twain::testing {

std::atomic<int> transfers_ready{0};
std::atomic<int> close_requests{0};

}  // namespace vk::twain::testing

extern "C" __attribute__((visibility("default"))) vk::twain::TW_UINT16 DSM_Entry(
    vk::twain::TW_IDENTITY*, vk::twain::TW_IDENTITY*, vk::twain::TW_UINT32,
    vk::twain::TW_UINT16, vk::twain::TW_UINT16 msg, vk::twain::TW_MEMREF) {
  if (msg == vk::twain::MSG_XFERREADY) ++vk::twain::testing::transfers_ready;
  if (msg == vk::twain::MSG_CLOSEDSREQ) ++vk::twain::testing::close_requests;
  return vk::twain::TWRC_SUCCESS;
}
