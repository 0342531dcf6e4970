// USB configuration at start, interface selection, pipe requests.
#include <mutex>
#include <vector>

#include "common/byte_order.h"
#include "driver_fixture.h"

namespace vk::drv {
namespace {

struct SeenUrb {
  uint16_t function;
  uint16_t length;
  uint32_t transfer_length;  // descriptor requests
};

class UsbConfigTest : public DriverFixture {
 protected:
  void TearDown() override {
    for (auto& bus : watched_) bus->SetUrbObserver(nullptr);
  }
  void Watch(const sim::PluggedCamera& c) {
    watched_.push_back(c.bus);
    c.bus->SetUrbObserver([this](const usb::UrbHeader& urb) {
      std::lock_guard lock(mutex_);
      uint32_t length = 0;
      if (urb.Function == usb::kUrbFunctionGetDescriptorFromDevice)
        length = reinterpret_cast<const usb::UrbControlDescriptorRequest&>(urb)
                     .TransferBufferLength;
      seen_.push_back({urb.Function, urb.Length, length});
    });
  }
  std::vector<SeenUrb> Seen() {
    std::lock_guard lock(mutex_);
    return std::exchange(seen_, {});
  }

  std::mutex mutex_;
  std::vector<SeenUrb> seen_;
  std::vector<std::shared_ptr<sim::UsbBusDevice>> watched_;
};

// Configuration 1 with interface 0 of `endpoints` bulk endpoints, padded to
// `total` bytes with a vendor descriptor.
std::vector<uint8_t> Configuration(int endpoints, uint16_t total) {
  std::vector<uint8_t> d = {
      9,    2,  0, 0, 1, 1, 0,
      0x80, 50, 9, 4, 0, 0, static_cast<uint8_t>(endpoints),
      0xFF, 0,  0, 0};
  for (int e = 0; e < endpoints; ++e)
    d.insert(d.end(), {7, 5, static_cast<uint8_t>(0x81 + e), 2, 0, 2, 0});
  while (d.size() < total) {
    const auto pad =
        static_cast<uint8_t>(std::min<size_t>(255, total - d.size()));
    d.push_back(pad);
    d.push_back(0x41);  // vendor-specific descriptor
    d.resize(d.size() + pad - 2, 0);
  }
  StoreLe16(&d[2], static_cast<uint16_t>(d.size()));
  return d;
}

TEST_F(UsbConfigTest, StartReadsDescriptorsAndSelectsTheFirstInterface) {
  const sim::PluggedCamera c = Plug();
  DeviceExtension* ext = Extension(0);
  ASSERT_NE(ext->device_descriptor, nullptr);
  EXPECT_EQ(ext->device_descriptor->idVendor, 0x1A2B);
  ASSERT_NE(ext->interface_record, nullptr);
  EXPECT_EQ(ext->interface_record->Length, 24 + 2 * 24);
  EXPECT_EQ(ext->interface_record->NumberOfPipes, 2u);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(ext->interface_record->Pipes[i].MaximumTransferSize,
              kMaxTransferSize);
  EXPECT_EQ(ext->interface_record->Pipes[1].EndpointAddress,
            sim::kImageEndpoint);
  EXPECT_NE(ext->configuration_handle, nullptr);
  EXPECT_EQ(CameraOf(c).ActiveConfiguration(), 1);
  EXPECT_TRUE(ext->started);
  EXPECT_TRUE(ext->link_flag);
}

TEST_F(UsbConfigTest, ConfigurationIsReadHeaderFirstThenWhole) {
  const sim::PluggedCamera c = Plug();
  Watch(c);
  ASSERT_EQ(Configure(Extension(0)), kStatusSuccess);
  const std::vector<SeenUrb> seen = Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].function, usb::kUrbFunctionGetDescriptorFromDevice);
  EXPECT_EQ(seen[0].length, 136);
  EXPECT_EQ(seen[0].transfer_length, 9u);
  EXPECT_EQ(seen[1].transfer_length, 55u + 16);
  EXPECT_EQ(seen[2].function, usb::kUrbFunctionSelectConfiguration);
  EXPECT_EQ(seen[2].length, 40 + 24 + 2 * 24);
}

TEST_F(UsbConfigTest, ThreeEndpointInterfaceGivesA96ByteRecord) {
  sim::CameraOptions o;
  o.configuration_descriptor = Configuration(3, 0);
  Plug(o);
  const usb::InterfaceInformation* r = Extension(0)->interface_record;
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Length, 96);
  ASSERT_EQ(r->NumberOfPipes, 3u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(r->Pipes[i].MaximumTransferSize, 3584000u);
}

TEST_F(UsbConfigTest, SelectInterfaceReadsAgainWhenTheDescriptorIsLonger) {
  sim::CameraOptions o;
  o.configuration_descriptor = Configuration(2, 300);
  const sim::PluggedCamera c = Plug(o);
  Watch(c);
  ASSERT_EQ(SelectInterface(Extension(0), 0, 0), kStatusSuccess);
  const std::vector<SeenUrb> seen = Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].transfer_length, 265u);
  EXPECT_EQ(seen[1].transfer_length, 300u);
  EXPECT_EQ(seen[2].function, usb::kUrbFunctionSelectInterface);
  EXPECT_EQ(seen[2].length, 56 + 24 * 2);
}

TEST_F(UsbConfigTest, ShortConfigurationDescriptorFailsWithoutSelecting) {
  const sim::PluggedCamera c = Plug();
  ASSERT_NE(Extension(0)->interface_record, nullptr);
  // The camera now answers its configuration descriptor with 8 bytes.
  sim::CameraOptions o;
  o.configuration_descriptor = {9, 2, 55, 0, 1, 1, 0, 0x80};
  const sim::PluggedCamera odd = Plug(o);
  EXPECT_EQ(odd.start_status, kStatusSuccess);  // started, but not configured
  EXPECT_EQ(Extension(1)->interface_record, nullptr);
  Watch(odd);
  EXPECT_EQ(SelectInterface(Extension(1), 0, 0), kStatusUnsuccessful);
  for (const SeenUrb& u : Seen())
    EXPECT_EQ(u.function, usb::kUrbFunctionGetDescriptorFromDevice);
}

TEST_F(UsbConfigTest, SelectingAnAbsentAlternateKeepsTheRecord) {
  Plug();
  const usb::InterfaceInformation* before = Extension(0)->interface_record;
  EXPECT_EQ(SelectInterface(Extension(0), 0, 5), kStatusUnsuccessful);
  EXPECT_EQ(Extension(0)->interface_record, before);
}

TEST_F(UsbConfigTest, AlternateOneReplacesTheRecord) {
  Plug();
  ASSERT_EQ(SelectInterface(Extension(0), 0, 1), kStatusSuccess);
  const usb::InterfaceInformation* r = Extension(0)->interface_record;
  EXPECT_EQ(r->AlternateSetting, 1);
  EXPECT_EQ(r->Pipes[1].PipeType, usb::UsbdPipeType::kIsochronous);
  EXPECT_EQ(r->Pipes[1].MaximumTransferSize, kMaxTransferSize);
}

TEST_F(UsbConfigTest, PipeRequestLengthFollowsTheUsbdiVersion) {
  const sim::PluggedCamera c = Plug();
  Watch(c);
  kernel().SetUsbdiVersion(0x100);
  EXPECT_EQ(ResetPipe(Extension(0), 1), kStatusSuccess);
  kernel().SetUsbdiVersion(0x101);
  EXPECT_EQ(AbortPipeAt(Extension(0), 0), kStatusSuccess);
  const std::vector<SeenUrb> seen = Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].function, usb::kUrbFunctionResetPipe);
  EXPECT_EQ(seen[0].length, 36);
  EXPECT_EQ(seen[1].function, usb::kUrbFunctionAbortPipe);
  EXPECT_EQ(seen[1].length, 40);
}

TEST_F(UsbConfigTest, PipeIndexesAreCheckedAgainstTheRecord) {
  Plug();
  DeviceExtension* ext = Extension(0);
  EXPECT_EQ(ResetPipe(ext, 2), kStatusInvalidParameter);
  EXPECT_EQ(AbortPipeAt(ext, 2), kStatusInvalidParameter);
  usb::InterfaceInformation* record = ext->interface_record;
  ext->interface_record = nullptr;
  EXPECT_EQ(ResetPipe(ext, 0), kStatusUnsuccessful);
  EXPECT_EQ(AbortPipeAt(ext, 0), kStatusUnsuccessful);
  ext->interface_record = record;
}

TEST_F(UsbConfigTest, FailedUsbdStatusIsKeptAsTheLastError) {
  Plug();
  DeviceExtension* ext = Extension(0);
  auto* urb = static_cast<usb::UrbControlVendorOrClassRequest*>(
      AllocateUrb(kernel(), sizeof(usb::UrbControlVendorOrClassRequest)));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = usb::kUrbFunctionVendorDevice;
  urb->Request = 99;  // the camera stalls it
  EXPECT_EQ(SubmitUrb(ext, &urb->Hdr), kStatusUnsuccessful);
  EXPECT_EQ(ext->last_usbd_error, static_cast<uint32_t>(kUsbdStatusStallPid));
  kernel().FreePool(urb);
}

TEST_F(UsbConfigTest, StopUnconfiguresAndKeepsTheRecord) {
  const sim::PluggedCamera c = Plug();
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnStopDevice), kStatusSuccess);
  EXPECT_EQ(CameraOf(c).ActiveConfiguration(), 0);
  EXPECT_NE(Extension(0)->interface_record, nullptr);
  EXPECT_TRUE(Extension(0)->started);
}

// The lower drivers take no request once the stop has reached them: the
// camera is unconfigured first, and the stop's result is theirs even when
// the unconfiguration cannot be built.
TEST_F(UsbConfigTest, StopUnconfiguresBeforeItGoesDown) {
  const sim::PluggedCamera c = Plug();
  CameraOf(c).ClearRequests();
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnStopDevice), kStatusSuccess);
  const auto requests = CameraOf(c).Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].setup.request, 9);  // SET_CONFIGURATION 0
  EXPECT_EQ(requests[0].setup.value, 0);
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnStartDevice), kStatusSuccess);
  kernel().FailAllocationAfter(0);
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnStopDevice), kStatusSuccess);
  kernel().ClearAllocationFailure();
}

}  // namespace
}  // namespace vk::drv
