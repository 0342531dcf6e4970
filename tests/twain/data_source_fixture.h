// A data source driven through its triplets, as a TWAIN application and
// source manager drive it, with the camera engine on the simulated stack.
#pragma once

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/host/host.h"
#include "tests/sdk/sdk_fixture.h"
#include "tests/twain/source_manager.h"
#include "twain/protocol/data_source.h"
#include "tests/common/wait.h"

namespace vk::twain {

using Bytes = std::vector<uint8_t>;

// The tests' patience with a capture that does not get on: a sanitizer
// build on a busy machine may take longer than the source's few seconds
// over one step.
inline constexpr DWORD kTestImageWaitMs = 60000;

class DataSourceTest : public SdkFixture {
 protected:
  void SetUp() override {
    SdkFixture::SetUp();
    testing::transfers_ready = 0;
    testing::ResetManager2();
    app_.Id = 7;
    app_.ProtocolMajor = 1;
    app_.ProtocolMinor = 9;
    source_ = std::make_unique<CDataSource>(false, 1, kTestImageWaitMs);
  }

  TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) {
    return source_->Entry(&app_, dg, dat, msg, data);
  }
  TW_UINT16 Status() {
    TW_STATUS status = {};
    Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    return status.ConditionCode;
  }
  void Open() {
    TW_IDENTITY completed = source_->identity();
    completed.Id = 42;
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &completed),
              TWRC_SUCCESS);
  }
  void EnableWithoutUi() {
    TW_USERINTERFACE ui = {0, 0, nullptr};
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui),
              TWRC_SUCCESS);
  }
  // Waits until the camera has made an image.
  bool WaitForImage() {
    Bytes probe(2048 * 1536 * 3);
    return WaitUntil([&] {
      return source_->context()->camera->CopyLatestImage(probe.data(),
                                                         probe.size());
    });
  }

  // Waits until the camera has made `count` new images (the dialog's
  // WM_FRAME_NOTIFY messages, taken from its queue); false when they do not come.
  bool WaitForNewImages(int count) {
    HWND dialog = source_->dialog()->window();
    host::TakePostedMessages(dialog);
    int images = 0;
    return WaitUntil([&] {
      for (const MSG& m : host::TakePostedMessages(dialog))
        images += m.message == WM_FRAME_NOTIFY && m.wParam == 1;
      return images >= count;
    });
  }

  // A capability request; the container's bytes in *out.
  TW_UINT16 Capability(TW_UINT16 msg, TW_UINT16 cap, Bytes* out = nullptr,
                       TW_UINT16* container = nullptr) {
    TW_CAPABILITY c = {cap, 0, nullptr};
    const TW_UINT16 rc = Call(DG_CONTROL, DAT_CAPABILITY, msg, &c);
    if (rc == TWRC_SUCCESS && c.hContainer) {
      const auto* p = static_cast<const uint8_t*>(GlobalLock(c.hContainer));
      if (out) out->assign(p, p + GlobalSize(c.hContainer));
      GlobalUnlock(c.hContainer);
      GlobalFree(c.hContainer);
      if (container) *container = c.ConType;
    }
    return rc;
  }
  // MSG_SET of a one-value container holding `item` of `type`.
  TW_UINT16 SetOneValue(TW_UINT16 cap, TW_UINT16 type, const void* item,
                        size_t size) {
    HGLOBAL block = GlobalAlloc(GHND, 6 + size);
    auto* p = static_cast<uint8_t*>(GlobalLock(block));
    std::memcpy(p, &type, 2);
    std::memcpy(p + 2, item, size);
    GlobalUnlock(block);
    TW_CAPABILITY c = {cap, TWON_ONEVALUE, block};
    const TW_UINT16 rc = Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c);
    GlobalFree(block);
    return rc;
  }
  TW_UINT16 SetFix32(TW_UINT16 cap, float value) {
    const TW_FIX32 fix = {static_cast<TW_INT16>(value), 0};
    return SetOneValue(cap, TWTY_FIX32, &fix, 4);
  }

  // Hands the source a 2.x manager's entry points, as that manager does
  // before it opens the source.
  void GiveEntryPoints() {
    TW_ENTRYPOINT points = testing::Manager2EntryPoints();
    ASSERT_EQ(Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points), TWRC_SUCCESS);
  }

  // A bottom-up BGR image turned top-down RGB.
  static Bytes TopDownRgb(const Bytes& dib, int width, int height) {
    Bytes out(dib.size());
    const size_t row = static_cast<size_t>(width) * 3;
    for (int y = 0; y < height; ++y) {
      const uint8_t* in = dib.data() + row * (height - 1 - y);
      for (size_t x = 0; x < row; x += 3) {
        out[row * y + x] = in[x + 2];
        out[row * y + x + 1] = in[x + 1];
        out[row * y + x + 2] = in[x];
      }
    }
    return out;
  }

  template <typename T>
  static T At(const Bytes& b, size_t offset) {
    T v;
    std::memcpy(&v, b.data() + offset, sizeof(T));
    return v;
  }

  TW_IDENTITY app_ = {};
  std::unique_ptr<CDataSource> source_;
};

}  // namespace vk::twain
