// Opening the device link: refused until the camera is started and
// configured, and without a file object.
#include <future>

#include "driver_fixture.h"
#include "sim/kernel/io_manager.h"

namespace vk::drv {
namespace {

class OpenTest : public DriverFixture {
 protected:
  NtStatus Open(int instance = 0) {
    std::shared_ptr<sim::OpenFile> file;
    const NtStatus status = io_.Open(
        u"\\DosDevices\\trq5c-" + std::u16string(1, char16_t(u'0' + instance)),
        &file);
    if (file) io_.Close(file);
    return status;
  }
  sim::IoManager io_{kernel()};
};

TEST_F(OpenTest, StartRefusedByTheLowerDriversLeavesTheCameraUnstarted) {
  const sim::PluggedCamera c =
      pnp().Plug(std::make_shared<sim::Camera>(sim::CameraOptions{}), {},
                 kStatusInsufficientResources);
  EXPECT_EQ(c.add_status, kStatusSuccess);
  EXPECT_EQ(c.start_status, kStatusInsufficientResources);
  EXPECT_FALSE(Extension(0)->started);
  EXPECT_EQ(Open(), kStatusUnsuccessful);
  EXPECT_EQ(PendingIo(0), 1);
}

TEST_F(OpenTest, StartedButNotConfiguredIsAnInvalidDeviceState) {
  sim::CameraOptions o;
  o.configuration_descriptor = {9, 2, 55, 0, 1, 1, 0, 0x80};  // too short
  const sim::PluggedCamera c = Plug(o);
  EXPECT_EQ(c.start_status, kStatusSuccess);
  EXPECT_TRUE(Extension(0)->started);
  EXPECT_EQ(Open(), kStatusInvalidDeviceState);
  EXPECT_EQ(PendingIo(0), 1);
}

TEST_F(OpenTest, CreateWithoutAFileObjectIsAnInvalidParameter) {
  const sim::PluggedCamera c = Plug();
  kernel::DeviceObject* top = c.top();
  kernel::Irp* irp = kernel().NewIrp(top->stack_size);
  irp->stack[irp->current - 1].major = kernel::kIrpMjCreate;  // no file
  std::promise<NtStatus> done;
  irp->free_on_complete = true;
  irp->user_request = true;
  irp->on_complete = [&done](kernel::Irp* i) { done.set_value(i->io.status); };
  kernel().CallDriver(top, irp);
  EXPECT_EQ(done.get_future().get(), kStatusInvalidParameter);
  EXPECT_EQ(Extension(0)->open_handles, 0u);
  EXPECT_EQ(PendingIo(0), 1);
}

}  // namespace
}  // namespace vk::drv
