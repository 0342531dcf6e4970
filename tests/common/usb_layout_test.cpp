#include <gtest/gtest.h>

#include <vector>

#include "common/usb/descriptors.h"
#include "common/usb/urb.h"

namespace vk::usb {
namespace {

TEST(UrbSizes, MatchSixtyFourBitWindows) {
  EXPECT_EQ(sizeof(UrbControlDescriptorRequest), 136u);
  EXPECT_EQ(sizeof(UrbControlVendorOrClassRequest), 136u);
  EXPECT_EQ(sizeof(UrbBulkOrInterruptTransfer), 128u);
  EXPECT_EQ(sizeof(UrbPipeRequest), 40u);
  EXPECT_EQ(sizeof(UrbSelectConfiguration), 88u);
  EXPECT_EQ(SelectInterfaceUrbSize(3), 56u + 24u * 3);
  EXPECT_EQ(InterfaceInformationSize(3), 24u + 3 * 24u);
  EXPECT_EQ(IsochUrbSize(8), 152u + 12u * 8);
}

TEST(UrbSizes, PipeRequestIsShorterBeforeUsbdi101) {
  EXPECT_EQ(PipeRequestLength(0x100), 36);
  EXPECT_EQ(PipeRequestLength(0x101), 40);
  EXPECT_EQ(PipeRequestLength(0x600), 40);
}

std::vector<uint8_t> TwoAlternates() {
  return {9, 2, 55, 0, 1, 1, 0, 0x80, 250,
          9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
          7, 5, 0x02, 2, 0, 2, 0,
          7, 5, 0x86, 2, 0, 2, 1,
          9, 4, 0, 1, 2, 0xFF, 0, 0, 0,
          7, 5, 0x02, 2, 0, 2, 0,
          7, 5, 0x81, 1, 0, 4, 1};
}

TEST(ConfigurationWalker, FindsFirstInterfaceForAnyFields) {
  const auto c = TwoAlternates();
  InterfaceDescriptor d{};
  ASSERT_TRUE(FindInterfaceDescriptor(c.data(), c.size(), kAnyField, kAnyField, &d));
  EXPECT_EQ(d.bAlternateSetting, 0);
  EXPECT_EQ(d.bNumEndpoints, 2);
}

TEST(ConfigurationWalker, FindsAlternateAndItsEndpoints) {
  const auto c = TwoAlternates();
  InterfaceDescriptor d{};
  ASSERT_TRUE(FindInterfaceDescriptor(c.data(), c.size(), 0, 1, &d));
  EXPECT_EQ(d.bAlternateSetting, 1);
  EndpointDescriptor e{};
  ASSERT_TRUE(FindEndpointDescriptor(c.data(), c.size(), 0, 1, 1, &e));
  EXPECT_EQ(e.bEndpointAddress, 0x81);
  EXPECT_EQ(e.bmAttributes & 3, 1);
  EXPECT_EQ(e.wMaxPacketSize, 1024);
  EXPECT_FALSE(FindEndpointDescriptor(c.data(), c.size(), 0, 1, 2, &e));
  EXPECT_FALSE(FindInterfaceDescriptor(c.data(), c.size(), 1, 0, &d));
}

TEST(ConfigurationWalker, StopsAtDescriptorsThatLeaveTheBuffer) {
  auto c = TwoAlternates();
  c[9] = 200;  // the first interface descriptor claims 200 bytes
  InterfaceDescriptor d{};
  EXPECT_FALSE(FindInterfaceDescriptor(c.data(), c.size(), 0, 0, &d));
  c = TwoAlternates();
  c[9] = 0;  // a zero length would loop for ever
  EXPECT_FALSE(FindInterfaceDescriptor(c.data(), c.size(), 0, 0, &d));
  EXPECT_FALSE(FindInterfaceDescriptor(c.data(), 12, 0, 0, &d));
}

}  // namespace
}  // namespace vk::usb
