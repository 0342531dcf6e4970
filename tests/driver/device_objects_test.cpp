// Driver entry and device objects: instance numbers, settings and names.
#include <string>

#include "driver/wide_string.h"
#include "driver_fixture.h"

namespace vk::drv {
namespace {

using DeviceObjectsTest = DriverFixture;

std::u16string Text(const char16_t* s) { return s; }

TEST_F(DeviceObjectsTest, FirstCameraGetsLinkZeroAndItsSettings) {
  const sim::PluggedCamera c = Plug();
  EXPECT_EQ(c.add_status, kStatusSuccess);
  EXPECT_EQ(c.start_status, kStatusSuccess);
  EXPECT_TRUE(kernel().LinkExists(u"\\DosDevices\\trq5c-0"));
  DeviceExtension* ext = Extension(0);
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(ext->instance, 0);
  EXPECT_EQ(Text(ext->link_name), u"\\DosDevices\\trq5c-0");
  EXPECT_EQ(Text(ext->settings->device_key_name), u"VID_1A2B&PID_3C4D");
  EXPECT_EQ(Text(ext->settings->dev_desc), u"TRQ5C USB2.0 Camera");
  EXPECT_EQ(Text(ext->settings->series), u"TRQ50");
  EXPECT_TRUE(ext->settings->register_per_camera);
  EXPECT_FALSE(ext->settings->register_configured);
  EXPECT_EQ(PendingIo(0), 1);
  const uint32_t flags = kernel().DeviceFlags(c.top());
  EXPECT_TRUE(flags & kernel::kDoDirectIo);
  EXPECT_TRUE(flags & kernel::kDoPowerPagable);
  EXPECT_FALSE(flags & kernel::kDoDeviceInitializing);
}

TEST_F(DeviceObjectsTest, LowerCaseHardwareIdGivesUpperCaseKeyName) {
  const sim::PluggedCamera c = pnp().Plug(std::make_shared<sim::Camera>(),
                                          u"USB\\VID_1a2b&PID_3c4d&REV_0001");
  EXPECT_EQ(c.add_status, kStatusSuccess);
  ASSERT_NE(Extension(0), nullptr);
  EXPECT_EQ(Text(Extension(0)->settings->device_key_name), u"VID_1A2B&PID_3C4D");
}

TEST_F(DeviceObjectsTest, ShortHardwareIdLeavesTheCameraWithoutSettings) {
  const sim::PluggedCamera c =
      pnp().Plug(std::make_shared<sim::Camera>(), u"USB\\VID_1A2B");
  EXPECT_EQ(c.add_status, kStatusUnsuccessful);
}

TEST_F(DeviceObjectsTest, FourthCameraIsInstanceThreeWithItsNames) {
  SetStartValue("DevDesc", u"Camera");
  for (int i = 0; i < 4; ++i) Plug();
  DeviceExtension* ext = Extension(3);
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(Text(ext->link_name), u"\\DosDevices\\trq5c-3");
  EXPECT_EQ(Text(ext->settings->link_name), u"trq5c-3");
  EXPECT_EQ(Text(ext->settings->dev_desc), u"Camera(3)");
  EXPECT_NE(kernel().ResolveLink(u"\\DosDevices\\trq5c-3"), nullptr);
  EXPECT_EQ(kernel().ResolveLink(u"\\DosDevices\\trq5c-3"),
            kernel().ResolveLink(u"\\DOSDEVICES\\TRQ5C-3"));
}

TEST_F(DeviceObjectsTest, RemovedInstanceNumberIsReusedLowestFirst) {
  Plug();
  const sim::PluggedCamera second = Plug();
  Plug();
  pnp().Unplug(second.id);
  EXPECT_FALSE(kernel().LinkExists(u"\\DosDevices\\trq5c-1"));
  Plug();
  ASSERT_NE(Extension(1), nullptr);
  EXPECT_EQ(Extension(1)->instance, 1);
  EXPECT_EQ(Extension(3), nullptr);
}

TEST_F(DeviceObjectsTest, NinthCameraIsRefused) {
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Plug().add_status, kStatusSuccess);
  const sim::PluggedCamera ninth = Plug();
  EXPECT_EQ(ninth.add_status, kStatusUnsuccessful);
  EXPECT_EQ(ninth.top(), ninth.bus->pdo());  // no device object of ours
  EXPECT_EQ(Extension(7)->driver->instance_mask, 0xFFu);
}

TEST_F(DeviceObjectsTest, OversizedValueLeavesItsFieldEmpty) {
  SetStartValue("Series", std::u16string(200, u'x'));  // 402 bytes > 256
  SetStartValue("DevName", std::u16string(127, u'n'));  // 256 bytes: fits
  Plug();
  DeviceExtension* ext = Extension(0);
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(Text(ext->settings->series), u"");
  EXPECT_EQ(WideLength(ext->settings->dev_name), 127u);
}

TEST_F(DeviceObjectsTest, ValueWithoutTerminatorThatFillsTheFieldIsRefused) {
  std::vector<uint8_t> bytes = WideValue(std::u16string(128, u'd'));
  bytes.resize(256);  // exactly the field, no terminator
  kernel().SetRegistryValue(kStartKey, "DevName", kernel::kRegSz, bytes);
  Plug();
  EXPECT_EQ(Text(Extension(0)->settings->dev_name), u"");
}

TEST_F(DeviceObjectsTest, ModulePathsGoBelowTheSystemFolder) {
  SetStartValue("RegForDShow", u"yes");
  SetStartValue("SystemPath", u"C:\\Windows");
  SetStartValue("DSHOW64", u"filter.ax");
  SetStartValue("DSHOW", u"filter32.ax");
  Plug();
  const InstanceConfig& s = *Extension(0)->settings;
  EXPECT_TRUE(s.register_configured);
  EXPECT_EQ(Text(s.dshow64), u"C:\\Windows\\System32\\filter.ax");
  EXPECT_EQ(Text(s.dshow), u"C:\\Windows\\SysWOW64\\filter32.ax");
  EXPECT_EQ(Text(s.camera_guid), u"{7A4C1E20-3B5D-4E61-9C2A-1F0B6D3E8A51}");
  EXPECT_EQ(s.video_filter_data_length, 12u);
  EXPECT_EQ(s.video_filter_data[6], 0x20);
}

TEST_F(DeviceObjectsTest, ShortSystemPathKeepsModuleNamesAsRead) {
  SetStartValue("RegForDShow", u"Y");
  SetStartValue("SystemPath", u"");  // 2 bytes: the terminator
  SetStartValue("DSHOW64", u"filter.ax");
  Plug();
  EXPECT_EQ(Text(Extension(0)->settings->dshow64), u"filter.ax");
}

TEST_F(DeviceObjectsTest, CameraWithoutSettingsIsRefused) {
  sim::CameraOptions o;
  o.product_id = 0x9999;  // no START key for this identity
  const sim::PluggedCamera c = Plug(o);
  EXPECT_EQ(c.add_status, kStatusUnsuccessful);
  EXPECT_FALSE(kernel().LinkExists(u"\\DosDevices\\trq5c-0"));
  EXPECT_EQ(Plug().add_status, kStatusSuccess);  // instance 0 was given back
  EXPECT_NE(Extension(0), nullptr);
}

TEST_F(DeviceObjectsTest, EmptyLinkNameIsRefused) {
  SetStartValue("LinkName", u"");
  EXPECT_EQ(Plug().add_status, kStatusUnsuccessful);
}

TEST_F(DeviceObjectsTest, UnloadFreesTheDriverState) {
  const size_t before = kernel().Pool().live_blocks;
  ASSERT_GT(before, 0u);  // the driver state and the service key path
  pnp().UnloadDriver();
  EXPECT_EQ(kernel().Pool().live_blocks, before - 2);
}

}  // namespace
}  // namespace vk::drv
