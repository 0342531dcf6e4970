// The SDK's pieces that need no camera, on Windows' own API: parameter teams
// in the real registry, BMP and RAW files, AVI through AVIFile with the
// uncompressed compressor, and a refused file reported in a message box that
// returns at once on a machine without a display. The AVI file is left in
// the working directory for an independent reader (ffprobe).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sdk/api/avi_writer.h"
#include "sdk/api/still_writers.h"
#include "sdk/core/camera.h"

namespace vk {
namespace {

constexpr char kTeamD[] = "Software\\VELMORAN\\TRQ50\\setupd";
constexpr char kTeamB[] = "Software\\VELMORAN\\TRQ50\\setupb";

void SetDword(const char* path, const char* name, DWORD value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

bool GetDword(const char* path, const char* name, DWORD* value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 4;
  const LONG status =
      RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_DWORD;
}

std::vector<uint8_t> FileBytes(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> Pattern(size_t bytes, int seed) {
  std::vector<uint8_t> out(bytes);
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(i * 7 + seed * 31);
  return out;
}

TEST(WindowsRegistry, ParameterTeamsLoadClampedAndSaveBack) {
  SetDword(kTeamD, "Gamma", 77);
  SetDword(kTeamD, "Contrast", 500);  // above the range: clamped
  SetDword(kTeamD, "R00 Mt", 300 + 8191);
  CCamera camera;
  ASSERT_EQ(camera.LoadTeam(3), 1);
  EXPECT_EQ(camera.gamma(), 77);
  EXPECT_EQ(camera.contrast(), 100);

  ASSERT_EQ(camera.SaveTeam(1), 1);
  DWORD v = 0;
  ASSERT_TRUE(GetDword(kTeamB, "Gamma", &v));
  EXPECT_EQ(v, 77u);
  ASSERT_TRUE(GetDword(kTeamB, "R00 Mt", &v));
  EXPECT_EQ(v, 300u + 8191);
  ASSERT_TRUE(GetDword(kTeamB, "Color Correct Enable ", &v));
}

TEST(WindowsFiles, BmpAndRawAreWrittenByteForByte) {
  constexpr int kWidth = 30, kHeight = 7;  // rows of 90 bytes, padded to 92
  const std::vector<uint8_t> image = Pattern(kWidth * kHeight * 3, 1);
  ASSERT_EQ(sdk::WriteBmpFile("wine_check.bmp", image.data(), kWidth, kHeight), 1);
  const std::vector<uint8_t> bmp = FileBytes("wine_check.bmp");
  ASSERT_EQ(bmp.size(), 54u + 92u * kHeight);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  EXPECT_EQ(bmp[10], 54);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth * 3; ++x)
      ASSERT_EQ(bmp[54 + y * 92 + x], image[y * kWidth * 3 + x]) << y << "," << x;
  }

  const std::vector<uint8_t> raw = Pattern(64 * 48, 2);
  ASSERT_EQ(sdk::WriteRawFile("wine_check.raw", raw.data(), 64, 48), 1);
  EXPECT_EQ(FileBytes("wine_check.raw"), raw);
}

TEST(WindowsFiles, RefusedFileIsReportedAndReturns) {
  const std::vector<uint8_t> raw(16);
  EXPECT_EQ(sdk::WriteRawFile("no_such_folder\\x.raw", raw.data(), 4, 4), -6);
}

TEST(WindowsVideo, InstalledCompressorsAreListed) {
  const std::vector<sdk::Codec> codecs = sdk::InstalledCodecs();
  EXPECT_FALSE(codecs.empty());
  for (const sdk::Codec& codec : codecs) std::printf("codec %.4s %s\n",
      reinterpret_cast<const char*>(&codec.handler), codec.description.c_str());
}

TEST(WindowsVideo, UncompressedAviThroughAviFile) {
  constexpr int kWidth = 64, kHeight = 48, kFrames = 10;
  std::remove("wine_check.avi");
  {
    sdk::CAviWriter writer("wine_check.avi", kWidth, kHeight, 10,
                           mmioFOURCC('D', 'I', 'B', ' '));
    EXPECT_EQ(writer.format().biBitCount, 24);
    for (int i = 0; i < kFrames; ++i) {
      const std::vector<uint8_t> frame = Pattern(kWidth * kHeight * 3, i);
      ASSERT_EQ(writer.Write(i, frame.data()), 1) << i;
    }
    writer.Close();
  }
  const std::vector<uint8_t> avi = FileBytes("wine_check.avi");
  ASSERT_GT(avi.size(), static_cast<size_t>(kFrames * kWidth * kHeight * 3));
  EXPECT_EQ(std::string(avi.begin(), avi.begin() + 4), "RIFF");
  EXPECT_EQ(std::string(avi.begin() + 8, avi.begin() + 12), "AVI ");
}

}  // namespace
}  // namespace vk
