// Parameter teams in the current user's registry.
#include <string>

#include "sdk/core/camera.h"
#include "sdk_fixture.h"

namespace vk {
namespace {

class TeamsTest : public SdkFixture {
 protected:
  static void SetDword(const char* key_path, const char* name, DWORD v) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key_path, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    RegCloseKey(key);
  }
  static bool GetDword(const char* key_path, const char* name, DWORD* v) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key_path, 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
      return false;
    DWORD type = 0, size = 4;
    const LONG r = RegQueryValueExA(key, name, nullptr, &type,
                                    reinterpret_cast<BYTE*>(v), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
  }
  static constexpr char kA[] = "Software\\VELMORAN\\TRQ50\\setupa";
  static constexpr char kC[] = "Software\\VELMORAN\\TRQ50\\setupc";
};

TEST_F(TeamsTest, SaveWritesEveryValueAndOffsetsTheMatrix) {
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  ASSERT_EQ(camera.SaveTeam(2), 1);
  DWORD v = 0;
  for (const char* name :
       {"bAutoExposure", "ExposureTime", "ExposureTarget", "Analog Gain",
        "bAutoWB", "Gain r", "Gain g", "Gain b", "Gamma", "Contrast",
        "Color Correct Enable ", "Saturation", "Frame Speed", "Sample Type",
        "Light Frquency", "Mono Mode", "VFlip Mode", "HFlip Mode", "B2RGB Mode",
        "R00 Mt", "R01 Mt", "R02 Mt", "G00 Mt", "G01 Mt", "G02 Mt", "B00 Mt",
        "B01 Mt", "B02 Mt", "Resolution"})
    EXPECT_TRUE(GetDword(kC, name, &v)) << name;
  GetDword(kC, "R00 Mt", &v);
  EXPECT_EQ(v, 205u + 8191);
  GetDword(kC, "B01 Mt", &v);
  EXPECT_EQ(v, static_cast<DWORD>(-125 + 8191));
  GetDword(kC, "Gain b", &v);
  EXPECT_EQ(v, 96u);
  // No exposure change since initialisation: no "EXPTIME US".
  EXPECT_FALSE(GetDword(kC, "EXPTIME US", &v));
  EXPECT_EQ(camera.GetCurrentTeam(), 2u);
}

TEST_F(TeamsTest, SaveWithoutExposureChangeKeepsTheStoredMicroseconds) {
  SetDword(kC, "EXPTIME US", 12345);
  CCamera camera;
  ASSERT_EQ(camera.Initialize(kResolutionFull), 1);
  ASSERT_EQ(camera.SaveTeam(2), 1);
  DWORD v = 0;
  ASSERT_TRUE(GetDword(kC, "EXPTIME US", &v));
  EXPECT_EQ(v, 12345u);
}

TEST_F(TeamsTest, LoadClampsAndFallsBack) {
  SetDword(kA, "Gamma", 5);
  SetDword(kA, "R00 Mt", 0);
  SetDword(kA, "Contrast", 0xFFFFFFFF);  // unsigned: far above 100
  SetDword(kA, "ExposureTarget", 7);
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, kA, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                  &key, nullptr);
  const char text[] = "12";
  RegSetValueExA(key, "Saturation", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 sizeof(text));
  RegCloseKey(key);
  CCamera camera;  // loads team 0 at construction
  EXPECT_EQ(camera.gamma(), 10);
  EXPECT_EQ(camera.color_matrix(0, 0), -8190);
  EXPECT_EQ(camera.color_matrix(0, 1), -65);  // missing: the default
  EXPECT_EQ(camera.contrast(), 100);
  EXPECT_EQ(camera.ae_target(), 40);
  EXPECT_EQ(camera.saturation(), 128);  // a string falls back
}

TEST_F(TeamsTest, TeamNumberFromTeamZerosKey) {
  SetDword(kA, "ParTeam Team", 2);
  SetDword(kC, "Gamma", 180);
  CCamera camera;
  EXPECT_EQ(camera.GetCurrentTeam(), 2u);
  EXPECT_EQ(camera.gamma(), 180);
  SetDword(kA, "ParTeam Team", 9);
  CCamera clamped;
  EXPECT_EQ(clamped.GetCurrentTeam(), 3u);
}

TEST_F(TeamsTest, TeamSevenUsesTeamZerosKeyAndRecordsSeven) {
  CCamera camera;
  ASSERT_EQ(camera.SaveTeam(7), 1);
  EXPECT_EQ(camera.GetCurrentTeam(), 7u);
  DWORD v = 0;
  EXPECT_TRUE(GetDword(kA, "Gamma", &v));
  ASSERT_EQ(camera.LoadTeam(7), 1);
  EXPECT_EQ(camera.GetCurrentTeam(), 7u);
}

TEST_F(TeamsTest, SavedByOneObjectLoadedByAnother) {
  SetDword(kA, "Gain r", 300);  // truncated to 8 bits after clamping: 255
  {
    CCamera first;
    EXPECT_EQ(first.gain(0), 255u);
    ASSERT_EQ(first.Initialize(kResolutionFull), 1);
    first.SetExposure(500);  // changed since initialisation
    ASSERT_EQ(first.SaveTeam(1), 1);
  }
  DWORD v = 0;
  ASSERT_TRUE(GetDword("Software\\VELMORAN\\TRQ50\\setupb", "EXPTIME US", &v));
  EXPECT_EQ(v, 114u * 500);
  CCamera second;
  ASSERT_EQ(second.LoadTeam(1), 1);
  EXPECT_EQ(second.GetExposure(), 500);
  EXPECT_EQ(second.exposure_us(), 57000u);
  EXPECT_EQ(second.gain(0), 255u);
}

TEST_F(TeamsTest, ExposureTimeIsBoundedByTheMaximumInForce) {
  SetDword(kA, "ExposureTime", 60000);
  CCamera camera;
  EXPECT_EQ(camera.GetExposure(), 2000);  // the default maximum
}

}  // namespace
}  // namespace vk
