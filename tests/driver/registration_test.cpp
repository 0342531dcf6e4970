// The registry entries a started camera leaves for video applications, and
// their removal.
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tests/common/wait.h"
#include "tests/driver/driver_fixture.h"

namespace vk::drv {
namespace {

const std::string kClasses = "\\Registry\\Machine\\Software\\Classes\\CLSID\\";
const std::string kClasses32 = "\\Registry\\Machine\\Software\\Classes\\WOW6432Node\\CLSID\\";
const std::string kMaker = "\\Registry\\Machine\\Software\\Velmoran camera";
const std::string kVideoInput = "{860BB310-5D01-11d0-BD3B-00A0C911CE86}";
const std::string kLegacy = "{083863F1-70DE-11d0-BD40-00A0C911CE86}";

std::string Identifier(int j) {
  char text[48];
  std::snprintf(text, sizeof(text), "{42ED05EB-B22B-46BB-BE60-336B1B7D2E%02X}", j);
  return text;
}

class RegistrationTest : public DriverFixture {
 protected:
  // Waits (the simulated clock runs fast) until `key` exists or not.
  bool WaitForKey(const std::string& key, bool present = true) {
    return WaitUntil([&] { return kernel().RegistryKeyExists(key) == present; });
  }
  // Waits until `key` has the value `name`: a key exists before its values.
  bool WaitForValue(const std::string& key, const std::string& name) {
    return WaitUntil([&] { return HasValue(key, name); });
  }
  // Waits until camera `n`'s registration thread has done all it will do.
  void WaitForRegistration(int n) { kernel().WaitForThread(Extension(n)->registration_thread); }
  // A REG_SZ value as text; "<none>" when absent, "<type>" when not REG_SZ.
  std::string Text(const std::string& key, const std::string& name) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!kernel().RegistryValue(key, name, &type, &data)) return "<none>";
    if (type != kernel::kRegSz || data.size() < 2 || data[data.size() - 2] || data.back())
      return "<type>";
    std::string text;
    for (size_t i = 0; i + 2 < data.size(); i += 2) text += static_cast<char>(data[i]);
    return text;
  }
  bool HasValue(const std::string& key, const std::string& name) {
    return kernel().RegistryValue(key, name, nullptr, nullptr);
  }
  std::string DevDesc(int n) {
    DeviceExtension* ext = Extension(n);
    std::string text;
    for (const char16_t* p = ext->settings->dev_desc; *p; ++p) text += static_cast<char>(*p);
    return text;
  }
};

TEST_F(RegistrationTest, PerCameraSetAndItsRemoval) {
  const sim::PluggedCamera c = Plug();
  const std::string maker = kMaker + "\\" + Identifier(0);
  const std::string desc = DevDesc(0);
  // The video-input instance's class identifier is the set's last value.
  ASSERT_TRUE(WaitForValue(kClasses + kVideoInput + "\\Instance\\" + desc, "CLSID"));
  EXPECT_EQ(Text(maker, "FriendlyName"), desc);
  EXPECT_EQ(Text(maker, "LinkName"), "trq5c-0");
  EXPECT_EQ(Text(maker, "PortType"), "USBCamera");
  EXPECT_EQ(Text(maker, "ProductName"), "TRQ5C Camera");
  EXPECT_EQ(Text(maker, "ProductSeries"), "TRQ50");
  EXPECT_EQ(Text(maker, "FirmwareVersion"), "");
  EXPECT_TRUE(kernel().RegistryKeyVolatile(maker));
  const std::string filter = kClasses + Identifier(0);
  EXPECT_EQ(Text(filter, ""), desc);
  EXPECT_EQ(Text(filter + "\\InprocServer32", ""), "Roduvuradad.ir");
  EXPECT_EQ(Text(filter + "\\InprocServer32", "ThreadingModel"), "Both");
  EXPECT_EQ(Text(kClasses + "{79482626-8DE6-4D7A-A314-5B951734D190}", ""), "Resolustion Page");
  EXPECT_EQ(Text(kClasses + "{B35958B2-43D8-49C7-862D-A7A8EEE7C650}\\InprocServer32", ""),
            "Roduvuradad.ir");
  const std::string legacy = kClasses + kLegacy + "\\Instance\\" + Identifier(0);
  EXPECT_EQ(Text(legacy, "FriendlyName"), desc);
  EXPECT_EQ(Text(legacy, "CLSID"), Identifier(0));
  EXPECT_EQ(Text(kClasses + kVideoInput + "\\Instance\\" + desc, "CLSID"), Identifier(0));
  EXPECT_TRUE(kernel().RegistryKeyVolatile(filter));
  EXPECT_FALSE(kernel().RegistryKeyExists(kClasses32 + Identifier(0)));

  pnp().Unplug(c.id);
  EXPECT_FALSE(kernel().RegistryKeyExists(maker));
  EXPECT_FALSE(kernel().RegistryKeyExists(filter));
  EXPECT_FALSE(kernel().RegistryKeyExists(legacy));
  EXPECT_FALSE(kernel().RegistryKeyExists(kClasses + "{79482626-8DE6-4D7A-A314-5B951734D190}"));
  EXPECT_TRUE(kernel().RegistryKeyExists(kMaker)) << "the maker key stays";
}

TEST_F(RegistrationTest, TheLowestFreeIdentifierIsTaken) {
  kernel().EnsureKey(kMaker + "\\" + Identifier(0), true);
  kernel().EnsureKey(kMaker + "\\" + Identifier(1), true);
  Plug();
  ASSERT_TRUE(WaitForKey(kClasses + Identifier(2)));
  EXPECT_EQ(Text(kMaker + "\\" + Identifier(2), "LinkName"), "trq5c-0");
}

TEST_F(RegistrationTest, CamerasRegisteringTogetherNeverShareAnIdentifier) {
  for (int round = 0; round < 5; ++round) {
    std::vector<sim::PluggedCamera> cameras;
    std::vector<std::thread> plugs;
    std::mutex m;
    for (int i = 0; i < 4; ++i)
      plugs.emplace_back([&] {
        const sim::PluggedCamera c = Plug();
        std::lock_guard lock(m);
        cameras.push_back(c);
      });
    for (auto& t : plugs) t.join();
    std::set<std::string> links;
    for (int j = 0; j < 4; ++j) {
      ASSERT_TRUE(WaitForKey(kClasses + Identifier(j))) << j;
      const std::string maker = kMaker + "\\" + Identifier(j);
      ASSERT_TRUE(WaitForValue(maker, "LinkName"));
      links.insert(Text(maker, "LinkName"));
    }
    EXPECT_EQ(links.size(), 4u) << "four cameras, four identifiers";
    for (const sim::PluggedCamera& c : cameras) pnp().Unplug(c.id);
  }
}

TEST_F(RegistrationTest, NoFreeIdentifierLeavesTheCameraWithoutEntries) {
  for (int j = 0; j < 8; ++j) kernel().EnsureKey(kMaker + "\\" + Identifier(j), true);
  const sim::PluggedCamera c = Plug();
  WaitForRegistration(0);
  pnp().Unplug(c.id);
  EXPECT_TRUE(kernel().RegistryKeysUnder(kClasses + kLegacy).empty());
  for (int j = 0; j < 8; ++j)
    EXPECT_TRUE(kernel().RegistryKeyExists(kMaker + "\\" + Identifier(j)))
        << "the camera took none of them, so its removal deletes none";
}

TEST_F(RegistrationTest, ConfiguredSetUnderBothClassRoots) {
  SetStartValue("RegForDShow", u"y");
  SetStartValue("RegForDVP", u"N");
  kernel().SetRegistryValue(kStartKey, "CaptureFilterData", kernel::kRegBinary, {});
  const sim::PluggedCamera c = Plug();
  const InstanceConfig& s = *Extension(0)->settings;
  std::string guid, desc, dshow, dshow64;
  for (const char16_t* p = s.camera_guid; *p; ++p) guid += static_cast<char>(*p);
  for (const char16_t* p = s.dshow; *p; ++p) dshow += static_cast<char>(*p);
  for (const char16_t* p = s.dshow64; *p; ++p) dshow64 += static_cast<char>(*p);
  desc = DevDesc(0);
  ASSERT_TRUE(WaitForValue(kClasses32 + kVideoInput + "\\Instance\\" + desc, "CLSID"));
  EXPECT_EQ(Text(kClasses + guid, ""), desc);
  EXPECT_EQ(Text(kClasses + guid + "\\InprocServer32", ""), dshow64);
  EXPECT_EQ(Text(kClasses32 + guid + "\\InprocServer32", ""), dshow);
  const std::string legacy = kClasses + kLegacy + "\\Instance\\" + guid;
  EXPECT_EQ(Text(legacy, "CLSID"), guid);
  EXPECT_TRUE(HasValue(legacy, "FilterData")) << "VideoFilterData has bytes";
  const std::string input = kClasses + kVideoInput + "\\Instance\\" + desc;
  EXPECT_EQ(Text(input, "FriendlyName"), desc);
  EXPECT_FALSE(HasValue(input, "FilterData")) << "CaptureFilterData is empty";
  EXPECT_FALSE(kernel().RegistryKeyExists(kMaker + "\\" + Identifier(0))) << "RegForDVP is N";
  pnp().Unplug(c.id);
  EXPECT_FALSE(kernel().RegistryKeyExists(kClasses + guid));
  EXPECT_FALSE(kernel().RegistryKeyExists(kClasses32 + guid));
  EXPECT_FALSE(kernel().RegistryKeyExists(input));
}

TEST_F(RegistrationTest, RefusedKeysAreRetried) {
  const sim::PluggedCamera c = Plug();  // its first attempt waits first
  kernel().FailKeyCreation(5);
  EXPECT_TRUE(WaitForKey(kClasses + kLegacy + "\\Instance\\" + Identifier(0)));
  EXPECT_FALSE(kernel().RegistryKeyExists(kMaker + "\\" + Identifier(1)))
      << "a retry keeps the identifier it took";
  pnp().Unplug(c.id);
  EXPECT_TRUE(kernel().RegistryKeysUnder(kMaker + "\\").empty()) << "nothing left behind";
}

TEST_F(RegistrationTest, ClearFlagsWriteAndRemoveNothing) {
  SetStartValue("RegForDVP", u"no");
  const std::string page = kClasses + "{B35958B2-43D8-49C7-862D-A7A8EEE7C650}";
  kernel().EnsureKey(page, true);
  const sim::PluggedCamera c = Plug();
  WaitForRegistration(0);
  EXPECT_EQ(kernel().RegistryKeysUnder(kClasses + "{").size(), 1u) << "nothing written";
  pnp().Unplug(c.id);
  EXPECT_TRUE(kernel().RegistryKeyExists(page)) << "nor removed";
}

TEST_F(RegistrationTest, EachCameraHasItsOwnVideoInputInstance) {
  Plug();
  Plug();
  const std::string first = DevDesc(0), second = DevDesc(1);
  EXPECT_NE(first, second);
  EXPECT_TRUE(WaitForKey(kClasses + kVideoInput + "\\Instance\\" + first));
  EXPECT_TRUE(WaitForKey(kClasses + kVideoInput + "\\Instance\\" + second));
}

}  // namespace
}  // namespace vk::drv
