#include "common/control_codes.h"

#include <gtest/gtest.h>

namespace vk {
namespace {

TEST(ControlCodes, MethodsFollowTheLowTwoBits) {
  EXPECT_EQ(MethodOf(IOCTL_GET_PIPE_INFO), TransferMethod::kBuffered);
  EXPECT_EQ(MethodOf(IOCTL_RESET_PORT), TransferMethod::kInDirect);
  EXPECT_EQ(MethodOf(IOCTL_VENDOR_REQUEST), TransferMethod::kInDirect);
  EXPECT_EQ(MethodOf(IOCTL_BULK_READ), TransferMethod::kOutDirect);
  EXPECT_EQ(MethodOf(IOCTL_ENABLE_READ), TransferMethod::kOutDirect);
  EXPECT_EQ(MethodOf(IOCTL_EXCLUSIVE_ACCESS), TransferMethod::kBuffered);
}

TEST(ControlCodes, AllShareDeviceTypeUnknownAndAnyAccess) {
  for (uint32_t code :
       {IOCTL_GET_PIPE_INFO, IOCTL_GET_STRING_DESCRIPTOR, IOCTL_VENDOR_REQUEST,
        IOCTL_ENABLE_READ, IOCTL_EXCLUSIVE_ACCESS}) {
    EXPECT_EQ(code >> 16, kFileDeviceUnknown) << std::hex << code;
    EXPECT_EQ((code >> 14) & 3, kFileAnyAccess) << std::hex << code;
    EXPECT_GE(FunctionOf(code), 0x800u);
  }
}

TEST(ControlCodes, NamesKnownCodesAndOnlyThose) {
  EXPECT_STREQ(ControlCodeName(0x222059), "IOCTL_VENDOR_REQUEST");
  EXPECT_STREQ(ControlCodeName(0x22208A), "IOCTL_ENABLE_READ");
  EXPECT_STREQ(ControlCodeName(0x222010), "unknown");
}

}  // namespace
}  // namespace vk
