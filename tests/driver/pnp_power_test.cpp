// Plug and play and power: capabilities, removal with requests in flight,
// refusal during removal, system sleep and resume.
#include <atomic>
#include <future>
#include <thread>

#include "common/camera_protocol.h"
#include "driver_fixture.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/objects.h"

namespace vk::drv {
namespace {

using PnpPowerTest = DriverFixture;

TEST_F(PnpPowerTest, CapabilitiesVersionOneGetSurpriseRemovalOk) {
  const sim::PluggedCamera c = Plug();
  kernel::DeviceCapabilities caps;
  caps.version = 1;
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnQueryCapabilities, &caps),
            kStatusSuccess);
  EXPECT_TRUE(caps.surprise_removal_ok);
  caps = {};
  caps.version = 0;
  pnp().SendPnp(c.id, kernel::kIrpMnQueryCapabilities, &caps);
  EXPECT_FALSE(caps.surprise_removal_ok);  // passed down unchanged
}

TEST_F(PnpPowerTest, UnknownMinorIsPassedDownUntouched) {
  const sim::PluggedCamera c = Plug();
  EXPECT_EQ(pnp().SendPnp(c.id, 0x07 /* query device relations */),
            kStatusNotSupported);
  EXPECT_EQ(PendingIo(0), 1);
}

TEST_F(PnpPowerTest, RequestDuringRemovalIsRefusedWithoutTouchingTheCamera) {
  const sim::PluggedCamera c = Plug();
  DeviceExtension* ext = Extension(0);
  CameraOf(c).ClearRequests();
  kernel::StoreByte(&ext->removing, 1);
  kernel::DeviceCapabilities caps;
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnQueryCapabilities, &caps),
            kStatusDeletePending);
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnStopDevice),
            kStatusDeletePending);
  EXPECT_TRUE(CameraOf(c).Requests().empty());
  EXPECT_EQ(PendingIo(0), 1);
  kernel::StoreByte(&ext->removing, 0);
}

// A request inside the driver: a bulk read that the camera never answers,
// holding the pending-I/O count until it completes.
struct ReadInFlight {
  std::promise<NtStatus> result;
  std::thread thread;
  std::atomic<bool> entered{false};

  void Start(DeviceExtension* ext, kernel::KernelPort& port) {
    thread = std::thread([this, ext, &port] {
      if (!EnterIo(ext)) {
        result.set_value(kStatusDeletePending);
        return;
      }
      entered = true;
      auto* urb = static_cast<usb::UrbBulkOrInterruptTransfer*>(
          AllocateUrb(port, sizeof(usb::UrbBulkOrInterruptTransfer)));
      std::vector<uint8_t> buffer(81920);
      urb->Hdr.Length = sizeof(*urb);
      urb->Hdr.Function = usb::kUrbFunctionBulkOrInterruptTransfer;
      urb->PipeHandle = ext->interface_record->Pipes[1].PipeHandle;
      urb->TransferFlags = 3;
      urb->TransferBuffer = buffer.data();
      urb->TransferBufferLength = 81920;
      const NtStatus status = SubmitUrb(ext, &urb->Hdr);
      port.FreePool(urb);
      LeaveIo(ext);
      result.set_value(status);
    });
  }
};

TEST_F(PnpPowerTest, RemovalWaitsForRequestsUntilThePipeAbortsEndThem) {
  const sim::PluggedCamera c = Plug();
  DeviceExtension* ext = Extension(0);
  ReadInFlight reads[2];
  for (auto& r : reads) r.Start(ext, kernel());
  for (auto& r : reads) {
    while (!r.entered) std::this_thread::yield();
  }
  while (c.bus->usb().QueuedTransfers() < 2) std::this_thread::yield();
  // The remove request while the camera is still on the bus: only the pipe
  // aborts can end the reads.
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnRemoveDevice), kStatusSuccess);
  for (auto& r : reads) {
    EXPECT_EQ(r.result.get_future().get(), kStatusCancelled);
    r.thread.join();
  }
  EXPECT_FALSE(kernel().LinkExists(u"\\DosDevices\\trq5c-0"));
  EXPECT_EQ(c.top(), c.bus->pdo());  // detached and deleted
}

TEST_F(PnpPowerTest, UnplugRemovesDeviceLinkAndInstance) {
  const size_t devices = kernel().DeviceCount();
  const sim::PluggedCamera c = Plug();
  EXPECT_EQ(kernel().DeviceCount(), devices + 2);  // bus device and ours
  DriverState* state = Extension(0)->driver;
  pnp().Unplug(c.id);
  EXPECT_EQ(kernel().DeviceCount(), devices);
  EXPECT_FALSE(kernel().LinkExists(u"\\DosDevices\\trq5c-0"));
  EXPECT_EQ(state->instance_mask, 0u);
}

TEST_F(PnpPowerTest, SleepPutsTheCameraInD3AndResumeConfiguresItAnew) {
  const sim::PluggedCamera c = Plug();
  DeviceExtension* ext = Extension(0);
  const usb::UsbdPipeHandle old_pipe =
      ext->interface_record->Pipes[1].PipeHandle;
  pnp().SystemSleep();
  EXPECT_EQ(kernel().DevicePowerState(ext->self), kernel::kPowerDeviceD3);
  EXPECT_EQ(kernel().DevicePowerState(c.bus->pdo()), kernel::kPowerDeviceD3);
  CameraOf(c).ClearRequests();
  pnp().SystemResume();
  EXPECT_EQ(kernel().DevicePowerState(ext->self), kernel::kPowerDeviceD0);
  kernel().FlushWorkItems();  // the camera is configured from a work item
  bool set_configuration = false;
  for (const sim::RecordedRequest& r : CameraOf(c).Requests())
    set_configuration |= r.setup.request == 9 && r.setup.value == 1;
  EXPECT_TRUE(set_configuration);
  ASSERT_NE(ext->interface_record, nullptr);
  EXPECT_NE(ext->interface_record->Pipes[1].PipeHandle, old_pipe);
}

TEST_F(PnpPowerTest, SurpriseRemovalRefusesNewOpens) {
  const sim::PluggedCamera c = Plug();
  sim::IoManager io(kernel());
  std::shared_ptr<sim::OpenFile> before;
  ASSERT_EQ(io.Open(u"\\DosDevices\\trq5c-0", &before), kStatusSuccess);
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnSurpriseRemoval), kStatusSuccess);
  std::shared_ptr<sim::OpenFile> after;
  EXPECT_EQ(io.Open(u"\\DosDevices\\trq5c-0", &after), kStatusDeletePending);
  EXPECT_EQ(after, nullptr);
  io.Close(before);
  // The removal that follows still runs to its end.
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnRemoveDevice), kStatusSuccess);
  EXPECT_FALSE(kernel().LinkExists(u"\\DosDevices\\trq5c-0"));
  EXPECT_EQ(c.top(), c.bus->pdo());
}

// Each start makes a registration thread; a start after a stop must not drop
// the reference to the earlier one (which could then outlive the driver).
TEST_F(PnpPowerTest, RestartKeepsNoThreadReferenceBehind) {
  const sim::PluggedCamera c = Plug();
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnStopDevice), kStatusSuccess);
  EXPECT_EQ(pnp().SendPnp(c.id, kernel::kIrpMnStartDevice), kStatusSuccess);
  EXPECT_EQ(kernel().ThreadReferences(), 1u);
  pnp().Unplug(c.id);
  EXPECT_EQ(kernel().ThreadReferences(), 0u);
}

TEST_F(PnpPowerTest, HibernateAndShutdownStates) {
  const sim::PluggedCamera c = Plug();
  pnp().SystemSleep(kernel::kPowerSystemHibernate);
  EXPECT_EQ(kernel().DevicePowerState(Extension(0)->self),
            kernel::kPowerDeviceD3);
  pnp().SystemResume();
  // Shutdown is not a sleep: it goes down without a device power change.
  pnp().SystemSleep(kernel::kPowerSystemShutdown);
  EXPECT_EQ(kernel().DevicePowerState(Extension(0)->self),
            kernel::kPowerDeviceD0);
}

}  // namespace
}  // namespace vk::drv
