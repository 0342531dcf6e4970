// The device-control codes of the link, as user mode sends them.
#include <cstring>

#include "common/byte_order.h"
#include "link_fixture.h"

namespace vk::drv {
namespace {

using DeviceControlTest = LinkFixture;

TEST_F(DeviceControlTest, VendorRequestBlockMustBeExactlyTenBytes) {
  CameraOf(camera_).ClearRequests();
  uint8_t block[11] = {1, 2, 0, 0, 10};
  uint8_t out[3];
  EXPECT_EQ(Ioctl(IOCTL_VENDOR_REQUEST, block, 9, out, 3).status,
            kStatusInvalidParameter);
  EXPECT_EQ(Ioctl(IOCTL_VENDOR_REQUEST, block, 11, out, 3).status,
            kStatusInvalidParameter);
  EXPECT_TRUE(CameraOf(camera_).Requests().empty());
}

TEST_F(DeviceControlTest, DeviceToHostVendorRequestReadsIntoTheOutputPages) {
  WatchUrbs();
  uint8_t out[64] = {};
  const Result r = VendorIn(10, 0, 0, out, 64);
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.information, 3u);  // the bytes the camera sent
  EXPECT_EQ(out[0], 0x16);
  EXPECT_EQ(out[2], 8);
  const auto urbs = Urbs();
  ASSERT_EQ(urbs.size(), 1u);
  const auto& urb = As<usb::UrbControlVendorOrClassRequest>(urbs[0]);
  EXPECT_EQ(urb.Hdr.Length, 136);
  EXPECT_EQ(urb.Hdr.Function, usb::kUrbFunctionVendorDevice);
  EXPECT_EQ(urb.TransferFlags, 3u);
  EXPECT_EQ(urb.TransferBufferLength, 64u);
  EXPECT_NE(urb.TransferBufferMDL, nullptr);
  EXPECT_EQ(urb.TransferBuffer, nullptr);
}

TEST_F(DeviceControlTest, OutputLengthZeroSendsNoDataStage) {
  WatchUrbs();
  CameraOf(camera_).ClearRequests();
  EXPECT_EQ(VendorOut(1, 3, 15).status, kStatusSuccess);
  const auto requests = CameraOf(camera_).Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].setup.request_type, 0x40);
  EXPECT_EQ(requests[0].setup.length, 0);
  EXPECT_EQ(As<usb::UrbControlVendorOrClassRequest>(Urbs()[0]).TransferFlags, 2u);
}

TEST_F(DeviceControlTest, TypeAndRecipientChooseTheUrbFunction) {
  WatchUrbs();
  uint8_t block[10];
  Encode(VendorRequestBlock{0, 1, 1, 0, 5, 0, 0, 0}, block);
  Ioctl(IOCTL_VENDOR_REQUEST, block, 10, nullptr, 0);
  Encode(VendorRequestBlock{0, 2, 3, 0, 5, 0, 0, 0}, block);
  Ioctl(IOCTL_VENDOR_REQUEST, block, 10, nullptr, 0);
  const auto urbs = Urbs();
  ASSERT_EQ(urbs.size(), 2u);
  EXPECT_EQ(As<usb::UrbHeader>(urbs[0]).Function, usb::kUrbFunctionClassInterface);
  EXPECT_EQ(As<usb::UrbHeader>(urbs[1]).Function, usb::kUrbFunctionVendorOther);
  for (auto [type, recipient] : {std::pair{0, 0}, {3, 0}, {2, 4}}) {
    Encode(VendorRequestBlock{0, static_cast<uint8_t>(type),
                              static_cast<uint8_t>(recipient), 0, 5, 0, 0, 0},
           block);
    EXPECT_EQ(Ioctl(IOCTL_VENDOR_REQUEST, block, 10, nullptr, 0).status,
              kStatusInvalidParameter);
  }
  EXPECT_TRUE(Urbs().empty());
}

TEST_F(DeviceControlTest, StringDescriptorNeedsOutputAndReturnsWhatFits) {
  uint8_t in[4];
  Encode(StringDescriptorRequest{2, 0, 0x001B}, in);
  uint8_t out[64] = {};
  EXPECT_EQ(Ioctl(IOCTL_GET_STRING_DESCRIPTOR, in, 4, out, 0).status,
            kStatusInvalidParameter);
  Result r = Ioctl(IOCTL_GET_STRING_DESCRIPTOR, in, 4, out, 4);
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.information, 4u);
  const uint8_t length = out[0];
  EXPECT_EQ(out[1], 3);
  r = Ioctl(IOCTL_GET_STRING_DESCRIPTOR, in, 4, out, length);
  EXPECT_EQ(r.information, length);
  EXPECT_EQ(out[2], 'T');
  Encode(StringDescriptorRequest{9, 0, 0x001B}, in);  // no such string
  EXPECT_EQ(Ioctl(IOCTL_GET_STRING_DESCRIPTOR, in, 4, out, 64).status,
            kStatusUnsuccessful);
  EXPECT_EQ(Ioctl(IOCTL_GET_STRING_DESCRIPTOR, in, 3, out, 64).status,
            kStatusInvalidParameter);
}

TEST_F(DeviceControlTest, UnknownCodeFailsWithInformationZero) {
  uint8_t out[16];
  const Result r = Ioctl(0x222010, nullptr, 0, out, 16);
  EXPECT_EQ(r.status, kStatusInvalidParameter);
  EXPECT_EQ(r.information, 0u);
}

TEST_F(DeviceControlTest, MemoryLoadSendsWholeChunksOnly) {
  CameraOf(camera_).ClearRequests();
  std::vector<uint8_t> data(1000, 0x5A);
  EXPECT_EQ(Ioctl(IOCTL_MEMORY_LOAD, data.data(), 1000, nullptr, 0).status,
            kStatusSuccess);
  const auto requests = CameraOf(camera_).Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].setup.request, 0xA0);
  EXPECT_EQ(requests[0].setup.value, 0);
  EXPECT_EQ(requests[0].setup.length, 512);
  EXPECT_EQ(requests[0].data[511], 0x5A);
}

TEST_F(DeviceControlTest, MemoryWriteGoesInSixtyFourByteChunks) {
  CameraOf(camera_).ClearRequests();
  uint8_t start[3] = {};
  StoreLe16(start, 0x1000);
  std::vector<uint8_t> bytes(130);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Ioctl(IOCTL_MEMORY_WRITE, start, 2, bytes.data(), 130).status,
            kStatusSuccess);
  const auto requests = CameraOf(camera_).Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].setup.value, 0x1000);
  EXPECT_EQ(requests[0].setup.length, 64);
  EXPECT_EQ(requests[1].setup.value, 0x1040);
  EXPECT_EQ(requests[1].data[0], 64);
  EXPECT_EQ(requests[2].setup.value, 0x1080);
  EXPECT_EQ(requests[2].setup.length, 2);
  // Anything but a 2-byte start address sends nothing.
  EXPECT_EQ(Ioctl(IOCTL_MEMORY_WRITE, start, 3, bytes.data(), 130).status,
            kStatusSuccess);
  EXPECT_EQ(CameraOf(camera_).Requests().size(), 3u);
}

TEST_F(DeviceControlTest, DriverVersionBlock) {
  uint8_t out[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const Result r = Ioctl(IOCTL_GET_DRIVER_VERSION, nullptr, 0, out, 8);
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.information, 8u);
  const uint8_t expected[8] = {0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x43, 0x00};
  EXPECT_EQ(std::memcmp(out, expected, 8), 0);
  EXPECT_EQ(Ioctl(IOCTL_GET_DRIVER_VERSION, nullptr, 0, out, 7).status,
            kStatusUnsuccessful);
}

TEST_F(DeviceControlTest, LastErrorKeepsTheStalledRequestsStatus) {
  uint8_t out[4];
  VendorIn(99, 0, 0, out, 1);  // the camera stalls it
  const Result r = Ioctl(IOCTL_GET_LAST_ERROR, nullptr, 0, out, 4);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(LoadLe32(out), static_cast<uint32_t>(kUsbdStatusStallPid));
  EXPECT_EQ(Ioctl(IOCTL_GET_LAST_ERROR, nullptr, 0, out, 3).status,
            kStatusUnsuccessful);
}

TEST_F(DeviceControlTest, PipeInfoCopiesTheInterfaceRecord) {
  uint8_t out[128] = {};
  Result r = Ioctl(IOCTL_GET_PIPE_INFO, nullptr, 0, out, 128);
  EXPECT_EQ(r.information, 72u);
  EXPECT_EQ(LoadLe16(out), 72);
  const auto& info = *reinterpret_cast<usb::InterfaceInformation*>(out);
  EXPECT_EQ(info.Pipes[1].EndpointAddress, 0x86);
  r = Ioctl(IOCTL_GET_PIPE_INFO, nullptr, 0, out, 71);
  EXPECT_EQ(r.status, kStatusBufferTooSmall);
  EXPECT_EQ(r.information, 0u);
}

TEST_F(DeviceControlTest, DescriptorsFrameNumberAndFeature) {
  uint8_t out[64] = {};
  Result r = Ioctl(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, 18);
  EXPECT_EQ(r.information, 18u);
  EXPECT_EQ(LoadLe16(out + 8), 0x1A2B);
  EXPECT_EQ(Ioctl(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, 17).status,
            kStatusBufferTooSmall);
  r = Ioctl(IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, 0, out, 64);
  EXPECT_EQ(r.information, 55u);
  r = Ioctl(IOCTL_GET_FRAME_NUMBER, nullptr, 0, out, 4);
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_GT(LoadLe32(out), 0u);
  EXPECT_EQ(Ioctl(IOCTL_GET_FRAME_NUMBER, nullptr, 0, out, 3).status,
            kStatusInvalidParameter);
  const uint8_t feature[4] = {1, 0, 0, 0};
  EXPECT_EQ(Ioctl(IOCTL_SET_FEATURE, feature, 4, nullptr, 0).status, kStatusSuccess);
  EXPECT_EQ(Ioctl(IOCTL_SET_FEATURE, feature, 3, nullptr, 0).status,
            kStatusInvalidParameter);
}

TEST_F(DeviceControlTest, VendorDeviceRequestBufferRules) {
  CameraOf(camera_).ClearRequests();
  uint8_t block[10];
  Encode(VendorDeviceRequestBlock{10, 0, 0, 0, 3, 1, 0}, block);  // sensor read
  Result r = Ioctl(IOCTL_VENDOR_DEVICE_REQUEST, block, 10, block, 10);
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.information, 3u);
  EXPECT_EQ(block[0], 0x16);  // the answer overwrote the block
  Encode(VendorDeviceRequestBlock{0xA0, 0, 0x2000, 0, 1, 0, 0x77}, block);
  Ioctl(IOCTL_VENDOR_DEVICE_REQUEST, block, 10, nullptr, 0);
  Encode(VendorDeviceRequestBlock{0xA0, 0, 0x2000, 0, 4, 0, 0x77}, block);
  r = Ioctl(IOCTL_VENDOR_DEVICE_REQUEST, block, 10, nullptr, 0);
  EXPECT_EQ(r.information, 0u);
  const auto requests = CameraOf(camera_).Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].data, std::vector<uint8_t>{0x77});
  EXPECT_EQ(requests[2].data, (std::vector<uint8_t>{0, 1, 2, 3}));
  EXPECT_EQ(Ioctl(IOCTL_VENDOR_DEVICE_REQUEST, block, 9, nullptr, 0).status,
            kStatusInvalidParameter);
}

TEST_F(DeviceControlTest, ClientValueRoundTrips) {
  uint8_t in[4];
  StoreLe32(in, 0xDEADBEEF);
  EXPECT_EQ(Ioctl(IOCTL_SET_CLIENT_VALUE, in, 4, nullptr, 0).status, kStatusSuccess);
  uint8_t out[4] = {};
  const Result r = Ioctl(IOCTL_GET_CLIENT_VALUE, nullptr, 0, out, 4);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(LoadLe32(out), 0xDEADBEEFu);
  EXPECT_EQ(Ioctl(IOCTL_GET_CLIENT_VALUE, nullptr, 0, out, 2).status,
            kStatusBufferTooSmall);
}

TEST_F(DeviceControlTest, PipeCodesCheckTheirIndex) {
  uint8_t index[4];
  StoreLe32(index, 1);
  EXPECT_EQ(Ioctl(IOCTL_RESET_PIPE, index, 4, nullptr, 0).status, kStatusSuccess);
  StoreLe32(index, 2);
  EXPECT_EQ(Ioctl(IOCTL_RESET_PIPE, index, 4, nullptr, 0).status,
            kStatusInvalidParameter);
  EXPECT_EQ(Ioctl(IOCTL_ABORT_PIPE, index, 4, nullptr, 0).status, kStatusSuccess);
  EXPECT_EQ(Ioctl(IOCTL_RESET_PIPE, index, 2, nullptr, 0).status,
            kStatusInvalidParameter);
  EXPECT_EQ(Ioctl(IOCTL_RESET_PORT, nullptr, 0, nullptr, 0).status, kStatusSuccess);
  EXPECT_EQ(Ioctl(IOCTL_NO_OPERATION, nullptr, 0, nullptr, 0).status, kStatusSuccess);
}

TEST_F(DeviceControlTest, BulkTransferByCodeFollowsTheEndpoint) {
  StreamFullResolution();
  WatchUrbs();
  uint8_t index[4];
  StoreLe32(index, 1);
  std::vector<uint8_t> chunk(2048 * 128);
  Result r = Ioctl(IOCTL_BULK_WRITE, index, 4, chunk.data(), chunk.size());
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.information, chunk.size());  // read, as the endpoint is IN
  EXPECT_EQ(As<usb::UrbBulkOrInterruptTransfer>(Urbs()[0]).TransferFlags, 3u);
  StoreLe32(index, 0);
  r = Ioctl(IOCTL_BULK_READ, index, 4, chunk.data(), 512);
  EXPECT_EQ(As<usb::UrbBulkOrInterruptTransfer>(Urbs()[0]).TransferFlags, 2u);
  StoreLe32(index, 2);
  EXPECT_EQ(Ioctl(IOCTL_BULK_READ, index, 4, chunk.data(), 512).status,
            kStatusInvalidParameter);
}

TEST_F(DeviceControlTest, InterfaceChangeMovesReadsToTheNewRecord) {
  ASSERT_EQ(EnableRead().status, kStatusSuccess);
  const uint8_t alternate_one[2] = {0, 1};
  EXPECT_EQ(Ioctl(IOCTL_SET_INTERFACE, alternate_one, 2, nullptr, 0).status,
            kStatusSuccess);
  std::vector<uint8_t> chunk(2048 * 128);
  // Pipe 1 of the new record is isochronous: reads are refused.
  EXPECT_EQ(Read(chunk.data(), 512).status, kStatusInvalidHandle);
  const uint8_t alternate_zero[2] = {0, 0};
  Ioctl(IOCTL_SET_INTERFACE, alternate_zero, 2, nullptr, 0);
  StreamFullResolution();
  EXPECT_EQ(Read(chunk.data(), chunk.size()).information, chunk.size());
}

}  // namespace
}  // namespace vk::drv
