// The simulated USB host as the driver will use it: configuration, control
// requests, pipe requests, isochronous transfers, port reset and unplug.
#include "sim/usb/usb_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "common/byte_order.h"
#include "sim_fixture.h"

namespace vk::sim {
namespace {

using UsbHostTest = SimFixture;

TEST_F(UsbHostTest, ConfigurationFillsTheInterfaceRecord) {
  const usb::InterfaceInformation* info = client_->Interface();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->Length, 24 + 2 * 24);
  EXPECT_EQ(info->NumberOfPipes, 2u);
  EXPECT_EQ(info->Class, 0xFF);
  EXPECT_EQ(info->Pipes[0].EndpointAddress, kCommandEndpoint);
  EXPECT_EQ(info->Pipes[0].PipeType, usb::UsbdPipeType::kBulk);
  EXPECT_EQ(info->Pipes[1].EndpointAddress, kImageEndpoint);
  EXPECT_EQ(info->Pipes[1].PipeType, usb::UsbdPipeType::kBulk);
  EXPECT_EQ(info->Pipes[1].MaximumPacketSize, 512);
  EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 3584000u);
  EXPECT_NE(info->Pipes[0].PipeHandle, info->Pipes[1].PipeHandle);
  EXPECT_EQ(camera_->ActiveConfiguration(), 1);
}

TEST_F(UsbHostTest, DeviceDescriptorCarriesTheCamerasIdentity) {
  uint8_t d[18] = {};
  uint32_t moved = 0;
  ASSERT_EQ(client_->GetDescriptor(1, 0, 0, d, 18, &moved), kStatusSuccess);
  EXPECT_EQ(moved, 18u);
  EXPECT_EQ(d[0], 18);
  EXPECT_EQ(d[1], 1);
  EXPECT_EQ(LoadLe16(d + 8), camera_->options().vendor_id);
  EXPECT_EQ(LoadLe16(d + 10), camera_->options().product_id);
}

TEST_F(UsbHostTest, StringDescriptorProbeThenFullRead) {
  uint8_t probe[4] = {};
  uint32_t moved = 0;
  ASSERT_EQ(client_->GetDescriptor(3, 2, kStringLanguageId, probe, 4, &moved),
            kStatusSuccess);
  EXPECT_EQ(moved, 4u);
  const uint8_t length = probe[0];
  EXPECT_EQ(length, 2 + 2 * camera_->options().product.size());
  std::vector<uint8_t> full(length);
  ASSERT_EQ(client_->GetDescriptor(3, 2, kStringLanguageId, full.data(), length,
                                   &moved),
            kStatusSuccess);
  EXPECT_EQ(moved, length);
  EXPECT_EQ(full[2], 'T');
  EXPECT_EQ(full[3], 0);
  EXPECT_EQ(client_->GetDescriptor(3, 7, kStringLanguageId, full.data(), length,
                                   &moved),
            kStatusUnsuccessful);
}

TEST_F(UsbHostTest, ConfigurationDescriptorHeaderThenWhole) {
  uint8_t head[9] = {};
  uint32_t moved = 0;
  ASSERT_EQ(client_->GetDescriptor(2, 0, 0, head, 9, &moved), kStatusSuccess);
  const uint16_t total = LoadLe16(head + 2);
  EXPECT_EQ(total, 55);
  std::vector<uint8_t> all(total + 16);
  ASSERT_EQ(client_->GetDescriptor(2, 0, 0, all.data(), all.size(), &moved),
            kStatusSuccess);
  EXPECT_EQ(moved, total);
}

TEST_F(UsbHostTest, VendorRequestThroughAnMdlDescribedBuffer) {
  uint8_t answer[3] = {};
  usb::Mdl mdl;
  mdl.start_va = answer;
  mdl.byte_count = 3;
  usb::UrbControlVendorOrClassRequest urb{};
  urb.Hdr.Length = sizeof(urb);
  urb.Hdr.Function = usb::kUrbFunctionVendorDevice;
  urb.TransferFlags = usb::kUsbdTransferDirectionIn | usb::kUsbdShortTransferOk;
  urb.TransferBufferMDL = &mdl;
  urb.TransferBufferLength = 3;
  urb.Request = VR_SENSOR_READ;
  NtStatus seen = kStatusPending;
  EXPECT_EQ(device_->Submit(&urb.Hdr, [&](NtStatus s) { seen = s; }),
            kStatusSuccess);
  EXPECT_EQ(seen, kStatusSuccess);
  EXPECT_EQ(urb.TransferBufferLength, 3u);
  EXPECT_EQ(answer[0], 0x16);
  EXPECT_EQ(answer[2], kAckByte);
}

TEST_F(UsbHostTest, StalledControlRequestFailsUnsuccessful) {
  uint8_t b = 0;
  uint32_t moved = 7;
  EXPECT_EQ(client_->Vendor(true, 99, 0, 0, &b, 1, &moved), kStatusUnsuccessful);
  EXPECT_EQ(moved, 0u);
  const auto r = camera_->Requests();
  EXPECT_TRUE(r.back().stalled);
}

TEST_F(UsbHostTest, MalformedUrbsAreRefused) {
  usb::UrbControlVendorOrClassRequest urb{};
  urb.Hdr.Length = sizeof(urb) - 8;
  urb.Hdr.Function = usb::kUrbFunctionVendorDevice;
  int calls = 0;
  EXPECT_EQ(device_->Submit(&urb.Hdr, [&](NtStatus) { ++calls; }),
            kStatusInvalidParameter);
  EXPECT_EQ(urb.Hdr.Status, kUsbdStatusInvalidParameter);
  urb.Hdr.Length = sizeof(urb);
  urb.Hdr.Function = 0x7F;
  EXPECT_EQ(device_->Submit(&urb.Hdr, [&](NtStatus) { ++calls; }),
            kStatusInvalidParameter);
  EXPECT_EQ(urb.Hdr.Status, kUsbdStatusInvalidUrbFunction);
  // A data stage with neither buffer nor MDL.
  urb.Hdr.Function = usb::kUrbFunctionVendorDevice;
  urb.TransferBufferLength = 3;
  EXPECT_EQ(device_->Submit(&urb.Hdr, [&](NtStatus) { ++calls; }),
            kStatusInvalidParameter);
  EXPECT_EQ(calls, 3);
}

TEST_F(UsbHostTest, AlternateSettingOneHasTheIsochronousPipe) {
  const usb::UsbdPipeHandle old_image = client_->Pipe(kImagePipe);
  ASSERT_EQ(client_->SelectAlternate(1), kStatusSuccess);
  const usb::InterfaceInformation* info = client_->Interface();
  EXPECT_EQ(info->AlternateSetting, 1);
  EXPECT_EQ(info->Pipes[1].PipeType, usb::UsbdPipeType::kIsochronous);
  EXPECT_EQ(info->Pipes[1].EndpointAddress, kIsoEndpoint);
  EXPECT_EQ(info->Pipes[1].MaximumPacketSize, kIsoPacketSize);
  // Handles of the earlier selection are stale.
  usb::UrbPipeRequest reset{};
  reset.Hdr.Length = sizeof(reset);
  reset.Hdr.Function = usb::kUrbFunctionResetPipe;
  reset.PipeHandle = old_image;
  EXPECT_EQ(device_->Submit(&reset.Hdr, nullptr), kStatusInvalidParameter);
  EXPECT_EQ(reset.Hdr.Status, kUsbdStatusInvalidPipeHandle);
}

TEST_F(UsbHostTest, IsochronousPacketsCarryTheStream) {
  SelectResolution(2);
  ASSERT_EQ(client_->SelectAlternate(1), kStatusSuccess);
  StartStreaming();
  std::vector<uint8_t> data(8 * 1024);
  auto t = client_->StartIsoRead(kImagePipe, data.data(), 1024, 8);
  const TransferResult r = t->Wait();
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.bytes, 8u * 1024);
  auto* urb = reinterpret_cast<usb::UrbIsochTransfer*>(t->urb());
  EXPECT_EQ(urb->ErrorCount, 0u);
  EXPECT_EQ(urb->IsoPacket[7].Offset, 7u * 1024);
  EXPECT_EQ(urb->IsoPacket[7].Length, 1024u);
}

TEST_F(UsbHostTest, IsochronousWhileNotStreamingGivesEmptyPackets) {
  ASSERT_EQ(client_->SelectAlternate(1), kStatusSuccess);
  std::vector<uint8_t> data(4 * 1024);
  const TransferResult r =
      client_->StartIsoRead(kImagePipe, data.data(), 1024, 4)->Wait();
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.bytes, 0u);
}

TEST_F(UsbHostTest, AbortCompletesOutstandingReadsCancelled) {
  std::vector<uint8_t> a(81920), b(81920);
  auto r1 = client_->StartBulkRead(kImagePipe, a.data(), a.size());
  auto r2 = client_->StartBulkRead(kImagePipe, b.data(), b.size());
  EXPECT_EQ(client_->PipeRequest(usb::kUrbFunctionAbortPipe, kImagePipe),
            kStatusSuccess);
  EXPECT_EQ(r1->Wait().status, kStatusCancelled);
  EXPECT_EQ(r2->Wait().status, kStatusCancelled);
  EXPECT_EQ(device_->QueuedTransfers(), 0u);
}

TEST_F(UsbHostTest, StallFailsReadsUntilThePipeIsReset) {
  SelectResolution(2);
  StartStreaming();
  camera_->HaltEndpoint(kImageEndpoint);
  std::vector<uint8_t> chunk(81920);
  TransferResult r = client_->BulkRead(kImagePipe, chunk.data(), chunk.size());
  EXPECT_EQ(r.status, kStatusUnsuccessful);
  EXPECT_EQ(r.usbd_status, kUsbdStatusStallPid);
  EXPECT_EQ(client_->PipeRequest(usb::kUrbFunctionResetPipe, kImagePipe),
            kStatusSuccess);
  r = client_->BulkRead(kImagePipe, chunk.data(), chunk.size());
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.bytes, 81920u);
}

TEST_F(UsbHostTest, StallFaultHaltsAfterItsFrameCount) {
  FaultPlan f;
  f.stall_after_frames = 1;
  camera_->SetFaults(f);
  SelectResolution(2);
  StartStreaming();
  std::vector<uint8_t> chunk(81920);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(client_->BulkRead(kImagePipe, chunk.data(), 81920).status,
              kStatusSuccess);
  // The second frame begins and the endpoint halts behind it.
  client_->BulkRead(kImagePipe, chunk.data(), 81920);
  EXPECT_EQ(client_->BulkRead(kImagePipe, chunk.data(), 81920).usbd_status,
            kUsbdStatusStallPid);
}

TEST_F(UsbHostTest, UnplugFailsOutstandingAndLaterRequests) {
  std::vector<uint8_t> chunk(81920);
  auto pending = client_->StartBulkRead(kImagePipe, chunk.data(), chunk.size());
  host_.Unplug(device_);
  const TransferResult r = pending->Wait();
  EXPECT_EQ(r.status, kStatusDeviceNotConnected);
  EXPECT_EQ(r.usbd_status, kUsbdStatusDeviceGone);
  uint8_t b = 0;
  EXPECT_EQ(client_->Vendor(true, VR_SENSOR_READ, 0, 0, &b, 1, nullptr),
            kStatusDeviceNotConnected);
  EXPECT_FALSE(device_->connected());
  EXPECT_TRUE(host_.Devices().empty());
}

TEST_F(UsbHostTest, UnplugFaultAfterFrames) {
  FaultPlan f;
  f.unplug_after_frames = 1;
  camera_->SetFaults(f);
  SelectResolution(2);
  StartStreaming();
  std::vector<uint8_t> chunk(81920);
  NtStatus last = kStatusSuccess;
  for (int i = 0; i < 10 && NtSuccess(last); ++i)
    last = client_->BulkRead(kImagePipe, chunk.data(), 81920).status;
  EXPECT_EQ(last, kStatusDeviceNotConnected);
  EXPECT_FALSE(device_->connected());
}

TEST_F(UsbHostTest, ResetPortCancelsReadsAndKeepsTheConfiguration) {
  std::vector<uint8_t> chunk(81920);
  auto pending = client_->StartBulkRead(kImagePipe, chunk.data(), chunk.size());
  EXPECT_EQ(device_->ResetPort(), kStatusSuccess);
  EXPECT_EQ(pending->Wait().status, kStatusCancelled);
  SelectResolution(2);
  StartStreaming();
  EXPECT_EQ(client_->BulkRead(kImagePipe, chunk.data(), 81920).bytes, 81920u);
}

TEST_F(UsbHostTest, UnconfigureInvalidatesThePipes) {
  ASSERT_EQ(client_->Unconfigure(), kStatusSuccess);
  EXPECT_EQ(camera_->ActiveConfiguration(), 0);
  std::vector<uint8_t> chunk(512);
  EXPECT_EQ(client_->BulkRead(kImagePipe, chunk.data(), 512).usbd_status,
            kUsbdStatusInvalidPipeHandle);
}

TEST_F(UsbHostTest, FrameNumbersAreNonZeroAndAdvance) {
  usb::UrbGetCurrentFrameNumber urb{};
  urb.Hdr.Length = sizeof(urb);
  urb.Hdr.Function = usb::kUrbFunctionGetCurrentFrameNumber;
  ASSERT_EQ(device_->Submit(&urb.Hdr, nullptr), kStatusSuccess);
  const uint32_t first = urb.FrameNumber;
  EXPECT_GT(first, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  device_->Submit(&urb.Hdr, nullptr);
  EXPECT_GT(urb.FrameNumber, first);
}

TEST(UsbHostThrottle, BulkTransfersTakeTheirTimeOnTheWire) {
  UsbHost host;  // throttled to about 40 MB/s
  auto camera = std::make_shared<Camera>();
  UsbClient client(host.Plug(camera));
  ASSERT_EQ(client.Configure(), kStatusSuccess);
  ASSERT_TRUE(client.StreamControl(kStreamStart));
  std::vector<uint8_t> frame(2048 * 1536);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.BulkRead(kImagePipe, frame.data(), frame.size()).bytes,
            frame.size());
  // 3 MiB at 40 MB/s cannot arrive in less than about 78 ms.
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(70));
}

}  // namespace
}  // namespace vk::sim
