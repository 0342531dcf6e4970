// The source dialog and the settings page as a user works them, headless:
// clicks, typing, trackbars and up-downs become the messages Windows would
// send, and the tests read what the dialogs show and what the camera got.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/host/host.h"
#include "tests/sdk/sdk_fixture.h"
#include "tests/twain/source_manager.h"
#include "twain/dialog/control_ids.h"
#include "twain/protocol/data_source.h"
#include "tests/common/wait.h"


namespace vk::twain {
namespace {

using Bytes = std::vector<uint8_t>;

class DialogTest : public SdkFixture {
 protected:
  void SetUp() override {
    SdkFixture::SetUp();
    app_.Id = 3;
    app_.ProtocolMajor = 1;
    app_.ProtocolMinor = 9;
    source_ = std::make_unique<CDataSource>(false, 2);
    TW_IDENTITY id = source_->identity();
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &id), TWRC_SUCCESS);
  }
  void TearDown() override {
    TW_USERINTERFACE ui = {};
    Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr);
  }
  TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) {
    return source_->Entry(&app_, dg, dat, msg, data);
  }
  void EnableWithUi() {
    TW_USERINTERFACE ui = {1, 0, nullptr};
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
  }
  // The application's message loop: every message goes through
  // MSG_PROCESSEVENT, until `done` holds.
  template <typename Done>
  bool Pump(Done done) {
    return WaitUntil([&] {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TW_EVENT event = {&msg, 0};
        Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
      }
      return done();
    });
  }
  CSourceDialog& Dialog() { return *source_->dialog(); }
  CHeadlessView& View() { return Dialog().view(); }
  CUSBDevice& Camera() { return *source_->context()->camera; }
  CHeadlessView& Page() {
    if (!Dialog().settings_view()) View().Click(IDC_SETTINGS);
    return *Dialog().settings_view();
  }
  bool CaptureEnabled() { return View().IsEnabled(IDC_CAPTURE); }

  TW_IDENTITY app_ = {};
  std::unique_ptr<CDataSource> source_;
};

TEST(TwainGroups, LoadingClampsIntoTheRanges) {
  ::setenv("VKCAM_REGISTRY", (::testing::TempDir() + "clamp.registry").c_str(), 1);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\VELMORAN\\PLV210\\dshowB", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  for (const auto& [name, value] : {std::pair<const char*, DWORD>{"Gain", 0},
                                    {"AETarget", 20}, {"ExposureTime", 10000}}) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
  }
  const char wrong[] = "x";
  RegSetValueExA(key, "Gamma", 0, REG_SZ, reinterpret_cast<const BYTE*>(wrong), 2);
  RegCloseKey(key);
  Settings s;
  LoadGroup(1, &s);
  EXPECT_EQ(s.gain, 1);
  EXPECT_EQ(s.ae_target, 40);
  EXPECT_EQ(s.exposure, 4000);
  EXPECT_EQ(s.gamma, 100) << "a value of the wrong type is ignored";
}

TEST_F(DialogTest, SetUpAndTheFirstGoodFrame) {
  EnableWithUi();
  EXPECT_EQ(source_->state(), 5);
  EXPECT_TRUE(Dialog().visible());
  EXPECT_EQ(Dialog().template_id(), 1131);
  EXPECT_EQ(View().Items(IDC_RESOLUTION),
            (std::vector<std::string>{"2048 * 1536", "1024 * 768", "640 * 480"}));
  EXPECT_EQ(View().Selection(IDC_RESOLUTION), 1);
  EXPECT_EQ(View().DialogSize(), (std::pair{652, 526}));
  EXPECT_EQ(View().DialogPosition().x, 960 - 326) << "centred";
  EXPECT_TRUE(View().IsChecked(IDC_BGR));
  EXPECT_EQ(source_->context()->dialog_ready, 1u);
  EXPECT_FALSE(CaptureEnabled());
  ASSERT_TRUE(Pump([&] { return CaptureEnabled(); })) << "the first good frame enables it";
  EXPECT_GT(View().Repaints(IDC_PREVIEW), 0);
}

TEST_F(DialogTest, CaptureAndCancelNotifyTheApplication) {
  EnableWithUi();
  ASSERT_TRUE(Pump([&] { return CaptureEnabled(); }));
  const int ready = testing::transfers_ready.load();
  SendMessageA(Dialog().window(), WM_COMMAND, IDC_CAPTURE, 0);
  EXPECT_EQ(testing::transfers_ready.load(), ready + 1);
  EXPECT_EQ(source_->state(), 6);
  TW_HANDLE dib = nullptr;
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
  EXPECT_NE(dib, nullptr);
  GlobalUnlock(dib);
  GlobalFree(dib);
  const int close = testing::close_requests.load();
  View().Click(IDC_CANCEL);
  EXPECT_EQ(testing::close_requests.load(), close + 1);
  EXPECT_EQ(source_->state(), 7) << "cancel leaves the state alone";
}

TEST_F(DialogTest, FailureDisablesCaptureAndSaysSo) {
  EnableWithUi();
  ASSERT_TRUE(Pump([&] { return CaptureEnabled(); }));
  host::TakeMessageBoxes();
  UnplugAll();
  ASSERT_TRUE(Pump([&] { return !CaptureEnabled(); }));
  const auto boxes = host::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Failed to preview PLV210!");
  EXPECT_EQ(boxes[0].type, MB_OK | MB_ICONWARNING);
}

TEST_F(DialogTest, ResolutionChangeRestartsAtTheNewSize) {
  EnableWithUi();
  ASSERT_TRUE(Pump([&] { return CaptureEnabled(); }));
  View().Choose(IDC_RESOLUTION, 2);
  EXPECT_FALSE(CaptureEnabled());
  int w = 0, h = 0;
  ASSERT_TRUE(Pump([&] {
    Camera().GetImageSize(&w, &h);
    return CaptureEnabled() && w != 0;
  }));
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
}

TEST_F(DialogTest, SettingsPageRangesAndTheExposureGroup) {
  EnableWithUi();
  CHeadlessView& page = Page();
  EXPECT_EQ(Dialog().sheet_caption(), "PLV210 Settings");
  EXPECT_EQ(Dialog().page_title(), " SETUP");
  EXPECT_EQ(page.Range(IDC_GAMMA), (std::pair{10, 250}));
  EXPECT_EQ(page.Range(IDC_GAMMA_SPIN), (std::pair{10, 255}));
  EXPECT_EQ(page.Range(IDC_TARGET), (std::pair{50, 200}));
  EXPECT_EQ(page.Range(IDC_EXPOSURE), (std::pair{1, 4000}));
  EXPECT_EQ(page.TextLimit(IDC_EXPOSURE_EDIT), 4000);
  EXPECT_EQ(page.Range(IDC_GAIN), (std::pair{1, 80}));
  EXPECT_EQ(page.Range(IDC_RED), (std::pair{10, 255}));
  // AE on: time and gain are the camera's, and typing there does nothing.
  ASSERT_TRUE(page.IsChecked(IDC_AE));
  EXPECT_FALSE(page.IsEnabled(IDC_EXPOSURE_EDIT));
  EXPECT_FALSE(page.IsEnabled(IDC_GAIN));
  EXPECT_TRUE(page.IsEnabled(IDC_TARGET));
  page.Type(IDC_EXPOSURE_EDIT, 1234);
  uint32_t ae = 0;
  uint8_t target = 0;
  uint16_t time = 0, gain = 0;
  Camera().GetExposure(&ae, &target, &time, &gain);
  EXPECT_NE(time, 1234);
  // AE off: the exposure trackbar drives the camera.
  page.Click(IDC_AE);
  EXPECT_TRUE(page.IsEnabled(IDC_EXPOSURE));
  EXPECT_FALSE(page.IsEnabled(IDC_TARGET));
  page.Scroll(IDC_EXPOSURE, 777);
  EXPECT_EQ(page.Number(IDC_EXPOSURE_EDIT), 777);
  Camera().GetExposure(&ae, &target, &time, &gain);
  EXPECT_EQ(ae, 0u);
  EXPECT_EQ(time, 777);
  page.Type(IDC_GAIN_EDIT, 33);
  Camera().GetExposure(&ae, &target, &time, &gain);
  EXPECT_EQ(gain, 33);
  EXPECT_EQ(page.Position(IDC_GAIN), 33);
}

TEST_F(DialogTest, GammaUpDownGoesBeyondTheTrackbar) {
  EnableWithUi();
  CHeadlessView& page = Page();
  page.Spin(IDC_GAMMA_SPIN, 253);
  uint8_t gamma = 0;
  Camera().GetGamma(&gamma);
  EXPECT_EQ(gamma, 253);
  EXPECT_EQ(page.Number(IDC_GAMMA_EDIT), 253);
  EXPECT_EQ(page.Position(IDC_GAMMA), 250);
  page.Spin(IDC_GAMMA_SPIN, 300);
  Camera().GetGamma(&gamma);
  EXPECT_EQ(gamma, 255) << "the up-down stops at 255";
  page.Scroll(IDC_GAMMA, 120);
  Camera().GetGamma(&gamma);
  EXPECT_EQ(gamma, 120);
}

TEST_F(DialogTest, SwitchesAndChecks) {
  EnableWithUi();
  CHeadlessView& page = Page();
  uint32_t on = 0;
  page.Click(IDC_MONO);
  Camera().GetMono(&on);
  EXPECT_EQ(on, 1u);
  EXPECT_TRUE(page.IsChecked(IDC_MONO));
  page.Click(IDC_VFLIP);
  Camera().GetVFlip(&on);
  EXPECT_EQ(on, 1u);
  page.Click(IDC_60HZ);
  Camera().GetPowerFrequency(&on);
  EXPECT_EQ(on, 0u);
  page.Click(IDC_SPEED_HIGH);
  Camera().GetSpeed(&on);
  EXPECT_EQ(on, 1u);
  page.Click(IDC_COLOR_ENHANCEMENT);
  EXPECT_FALSE(page.IsEnabled(IDC_SATURATION));
  uint8_t saturation = 0;
  Camera().GetSaturation(&on, &saturation);
  EXPECT_EQ(on, 0u);
  View().Click(IDC_BGR);
  EXPECT_EQ(Camera().bgr_option(), 0u);
  EXPECT_FALSE(View().IsChecked(IDC_BGR));
}

TEST_F(DialogTest, DefaultChangesTheLiveSettingsOnly) {
  EnableWithUi();
  CHeadlessView& page = Page();
  page.Scroll(IDC_GAMMA, 150);
  page.Click(IDC_SAVE);
  page.Scroll(IDC_GAMMA, 180);
  page.Click(IDC_MONO);
  page.Click(IDC_DEFAULT);
  uint8_t gamma = 0, contrast = 0;
  uint32_t mono = 1, ae = 0, group = 9;
  Camera().GetGamma(&gamma);
  Camera().GetContrast(&contrast);
  Camera().GetMono(&mono);
  Camera().GetParameterGroup(&group);
  EXPECT_EQ(gamma, 100);
  EXPECT_EQ(contrast, 30);
  EXPECT_EQ(mono, 0u);
  EXPECT_EQ(group, 0u);
  EXPECT_EQ(page.Position(IDC_GAMMA), 100);
  uint8_t target = 0, r = 0, g = 0, b = 0;
  uint16_t time = 0, gain = 0;
  Camera().GetExposure(&ae, &target, &time, &gain);
  EXPECT_EQ((std::array<int, 4>{int(ae), target, time, gain}), (std::array<int, 4>{1, 100, 300, 20}));
  uint32_t once = 1;
  Camera().GetWhiteBalance(&once, &r, &g, &b);
  EXPECT_EQ((std::array<int, 4>{int(once), r, g, b}), (std::array<int, 4>{0, 74, 64, 96}));
  // The registry still holds what SAVE wrote.
  HKEY key = nullptr;
  RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\VELMORAN\\PLV210\\dshow", 0, KEY_READ, &key);
  DWORD saved = 0, size = 4, type = 0;
  RegQueryValueExA(key, "Gamma", nullptr, &type, reinterpret_cast<BYTE*>(&saved), &size);
  RegCloseKey(key);
  EXPECT_EQ(saved, 150u);
}

TEST_F(DialogTest, GroupsKeepWhatWasSaved) {
  EnableWithUi();
  CHeadlessView& page = Page();
  page.Scroll(IDC_GAMMA, 120);
  page.Click(IDC_SAVE);            // A holds 120
  page.Scroll(IDC_GAMMA, 200);     // live, not saved
  page.Click(IDC_GROUP_A + 1);     // to B
  EXPECT_TRUE(page.IsChecked(IDC_GROUP_A + 1));
  page.Click(IDC_GROUP_A);         // back to A
  uint8_t gamma = 0;
  Camera().GetGamma(&gamma);
  EXPECT_EQ(gamma, 120) << "A's saved value, the live 200 is gone";
  EXPECT_EQ(page.Position(IDC_GAMMA), 120);
  EXPECT_EQ(page.Number(IDC_GAMMA_EDIT), 120);
}

TEST_F(DialogTest, AwbOnceShowsTheGainsOfTheNextFrame) {
  EnableWithUi();
  ASSERT_TRUE(Pump([&] { return CaptureEnabled(); }));
  CHeadlessView& page = Page();
  uint32_t once = 1;
  uint8_t r = 0, g = 0, b = 0;
  // The page waits two seconds for the next frame; a sanitizer build on a
  // busy machine may take longer over one, and then the page shows the gains
  // it had (and the frame may measure just after): the click is repeated
  // until a frame came within the page's wait and the page shows its gains.
  ASSERT_TRUE(WaitUntil([&] {
    page.Click(IDC_AWB_ONCE);
    Camera().GetWhiteBalance(&once, &r, &g, &b);
    return once == 0 && page.Number(IDC_RED_EDIT) == r && page.Number(IDC_GREEN_EDIT) == g &&
           page.Number(IDC_BLUE_EDIT) == b;
  }));
  EXPECT_NE((std::array<int, 3>{r, g, b}), (std::array<int, 3>{74, 64, 96}))
      << "the simulated scene's cast is measured";
}

TEST_F(DialogTest, AwbOnceGivesUpQuietlyWithoutFrames) {
  UnplugAll();
  EnableWithUi();
  Pump([&] { return !host::TakeMessageBoxes().empty(); });
  CHeadlessView& page = Page();
  page.Click(IDC_AWB_ONCE);
  EXPECT_TRUE(host::TakeMessageBoxes().empty());
  EXPECT_EQ(page.Number(IDC_RED_EDIT), 74);
}

TEST_F(DialogTest, AWholeSessionThroughDsEntry) {
  EnableWithUi();
  ASSERT_TRUE(Pump([&] { return CaptureEnabled(); }));
  Page().Click(IDC_MONO);
  Dialog().CloseSettings();
  // The change shows in the next image the camera makes.
  Bytes latest(1024 * 768 * 3);
  auto grey = [&] {
    if (!Camera().CopyLatestImage(latest.data(), latest.size())) return false;
    return latest[3000] == latest[3001] && latest[3001] == latest[3002] &&
           latest[90000] == latest[90001] && latest[90001] == latest[90002];
  };
  ASSERT_TRUE(Pump(grey));
  SendMessageA(Dialog().window(), WM_COMMAND, IDC_CAPTURE, 0);
  ASSERT_EQ(source_->state(), 6);
  TW_HANDLE dib = nullptr;
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
  ASSERT_NE(dib, nullptr);
  const auto* p = static_cast<const uint8_t*>(GlobalLock(dib)) + 40;
  for (size_t i = 0; i < 1024 * 768 * 3; i += 3 * 997)
    ASSERT_TRUE(p[i] == p[i + 1] && p[i + 1] == p[i + 2]) << "monochrome at " << i;
  GlobalUnlock(dib);
  GlobalUnlock(dib);
  GlobalFree(dib);
  TW_PENDINGXFERS pending;
  EXPECT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
  TW_USERINTERFACE ui = {};
  EXPECT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
  EXPECT_EQ(source_->dialog(), nullptr);
  EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
  EXPECT_EQ(source_->state(), 3);
}

}  // namespace
}  // namespace vk::twain
