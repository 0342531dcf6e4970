// Acquisitions as applications make them: a transfer asked for as soon as
// the source is enabled without its dialog, the pixel order each transfer
// carries for a picture of known orientation and colours, and one session
// acquiring again and again.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/host/host.h"
#include "tests/twain/data_source_fixture.h"
#include "tests/twain/threadless_camera.h"

namespace vk::twain {
namespace {

constexpr int kWidth = 1024, kHeight = 768;
constexpr size_t kBytes = size_t{kWidth} * kHeight * 3;

class AcquisitionTest : public DataSourceTest {
 protected:
  // A native transfer that finds no image: refused, nothing handed over,
  // the source still in state 6.
  void ExpectTheNativeTransferToFail() {
    TW_HANDLE dib = reinterpret_cast<TW_HANDLE>(1);
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_FAILURE);
    EXPECT_EQ(dib, nullptr);
    EXPECT_EQ(Status(), TWCC_OPERATIONERROR);
    EXPECT_EQ(source_->state(), 6);
  }
  // The known picture: top left red, top right green, the bottom half blue.
  // Bayer sites: even rows green, red; odd rows blue, green.
  void ShowKnownPicture() {
    source_->context()->camera->SetExposure(0, 100, 300, 20);  // AE off
    Camera().SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
      const int w = f.geometry.width, h = f.geometry.height;
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          const int site = (y & 1) == 0 ? ((x & 1) ? 0 : 1) : ((x & 1) ? 1 : 2);
          const int colour = y >= h / 2 ? 2 : (x < w / 2 ? 0 : 1);
          out[static_cast<size_t>(y) * w + x] = site == colour ? 230 : 10;
        }
      }
    });
    ASSERT_TRUE(WaitForNewImages(5));
  }

  // The strongest channel (0 red, 1 green, 2 blue) of the picture's pixel
  // (x, y), y counted from the top, in an image of the given row order and
  // byte order.
  static int Strongest(const uint8_t* image, int x, int y, bool bottom_up,
                       bool bgr) {
    const int row = bottom_up ? kHeight - 1 - y : y;
    const uint8_t* p = image + (static_cast<size_t>(row) * kWidth + x) * 3;
    const int rgb[3] = {bgr ? p[2] : p[0], p[1], bgr ? p[0] : p[2]};
    int best = 0;
    for (int c = 1; c < 3; ++c)
      if (rgb[c] > rgb[best]) best = c;
    // Clearly the strongest, not by noise.
    for (int c = 0; c < 3; ++c)
      if (c != best && rgb[best] < rgb[c] + 60) return -1;
    return best;
  }

  // The picture's three regions read back: "rgb" when upright and right.
  static std::string Regions(const uint8_t* image, bool bottom_up, bool bgr) {
    std::string seen;
    for (const auto& [x, y] : {std::pair{kWidth / 4, kHeight / 4},
                               std::pair{kWidth * 3 / 4, kHeight / 4},
                               std::pair{kWidth / 2, kHeight * 3 / 4}}) {
      const int c = Strongest(image, x, y, bottom_up, bgr);
      seen += c < 0 ? '?' : "rgb"[c];
    }
    return seen;
  }

  Bytes NativeTransfer() {
    TW_HANDLE dib = nullptr;
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib),
              TWRC_XFERDONE);
    if (!dib) return {};
    const auto* p = static_cast<const uint8_t*>(GlobalLock(dib));
    Bytes image(p, p + 40 + kBytes);
    GlobalUnlock(dib);
    GlobalUnlock(dib);
    GlobalFree(dib);
    return image;
  }

  Bytes MemoryTransfer() {
    Bytes buffer(kBytes);
    TW_IMAGEMEMXFER t = {};
    t.Memory = {0, static_cast<TW_UINT32>(buffer.size()), buffer.data()};
    EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &t), TWRC_XFERDONE);
    return buffer;
  }

  bool FileTransfer(const std::string& path, Bytes* bmp) {
    if (Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) != TWRC_XFERDONE)
      return false;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    bmp->assign(54 + kBytes + 1, 0);
    bmp->resize(std::fread(bmp->data(), 1, bmp->size(), f));
    std::fclose(f);
    return bmp->size() == 54 + kBytes;
  }

  TW_UINT16 SetUpFile(const std::string& path) {
    TW_SETUPFILEXFER file = {};
    std::strcpy(file.FileName, path.c_str());
    return Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &file);
  }

  void EndTransfer() {
    TW_PENDINGXFERS pending = {};
    ASSERT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending),
              TWRC_SUCCESS);
  }

  void Disable() {
    TW_USERINTERFACE ui = {};
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui),
              TWRC_SUCCESS);
  }
};

// ---- The first image ----

TEST_F(AcquisitionTest,
       ATransferAtOnceAfterEnablingWithoutTheDialogGetsTheFirstImage) {
  Open();
  EnableWithoutUi();
  TW_HANDLE dib = nullptr;
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
  ASSERT_NE(dib, nullptr);
  BITMAPINFOHEADER header;
  std::memcpy(&header, GlobalLock(dib), sizeof(header));
  EXPECT_EQ(header.biWidth, kWidth);
  EXPECT_EQ(header.biHeight, kHeight);
  GlobalUnlock(dib);
  GlobalUnlock(dib);
  GlobalFree(dib);
  EXPECT_EQ(source_->state(), 7);
}

TEST_F(AcquisitionTest, AMemoryTransferAtOnceGetsTheFirstImageAndItsSize) {
  Open();
  EnableWithoutUi();
  Bytes buffer(kBytes);
  TW_IMAGEMEMXFER t = {};
  t.Memory = {0, static_cast<TW_UINT32>(buffer.size()), buffer.data()};
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &t), TWRC_XFERDONE);
  EXPECT_EQ(TW_UINT32{t.Columns}, 1024u);
  EXPECT_EQ(TW_UINT32{t.Rows}, 768u);
  EXPECT_EQ(TW_UINT32{t.BytesWritten}, kBytes);
}

TEST_F(AcquisitionTest, ACameraThatNeverDeliversFailsTheTransfer) {
  sim::FaultPlan faults;
  faults.cut_frame_bytes = 4096;  // every frame ends early: none is whole
  Camera().SetFaults(faults);
  Open();
  EnableWithoutUi();
  ExpectTheNativeTransferToFail();
  Camera().SetFaults({});
}

// Enabling needs the capture thread: a system that cannot start it leaves
// the source in state 4 with the failure said and the camera's message shown.
TEST_F(AcquisitionTest, EnablingWithoutACaptureThreadFailsForLowMemory) {
  Open();
  source_->context()->camera = std::make_unique<ThreadlessCamera>(1, 0);
  host::TakeMessageBoxes();
  TW_USERINTERFACE ui = {0, 0, nullptr};
  EXPECT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_LOWMEMORY);
  EXPECT_EQ(source_->state(), 4);
  EXPECT_EQ(source_->dialog(), nullptr);
  EXPECT_EQ(testing::transfers_ready, 0) << "nothing announced";
  const auto boxes = host::TakeMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Failed to start PLV210!");
  EnableWithoutUi();  // with a camera engine of its own, made again
  EXPECT_EQ(source_->state(), 6);
}

// A camera that opens and then sends nothing at all: the transfer gives up
// once the capture has made no progress for the source's patience, and the
// source still disables and closes (the reads left pending are cancelled).
TEST_F(AcquisitionTest, ACameraThatSendsNothingFailsTheTransferAndStillCloses) {
  sim::FaultPlan faults;
  faults.silent = true;
  Camera().SetFaults(faults);
  source_ = std::make_unique<CDataSource>(false, 1, 200);
  Open();
  EnableWithoutUi();
  ExpectTheNativeTransferToFail();
  TW_USERINTERFACE ui = {};
  EXPECT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
  TW_IDENTITY self = source_->identity();
  EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &self), TWRC_SUCCESS);
  EXPECT_EQ(source_->state(), 3);
  Camera().SetFaults({});
}

TEST_F(AcquisitionTest, WithoutACameraTheTransferFails) {
  UnplugAll();
  Open();
  EnableWithoutUi();
  Bytes buffer(kBytes);
  TW_IMAGEMEMXFER t = {};
  t.Memory = {0, static_cast<TW_UINT32>(buffer.size()), buffer.data()};
  EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &t), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_OPERATIONERROR);
  EXPECT_EQ(source_->state(), 6);
}

TEST_F(AcquisitionTest, WithoutACameraTheImageInformationIsRefused) {
  UnplugAll();
  Open();
  EnableWithoutUi();
  TW_IMAGEINFO info = {};
  EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE)
      << "not an image of 0 x 0";
  EXPECT_EQ(Status(), TWCC_OPERATIONERROR);
  EXPECT_EQ(source_->state(), 6);
}

// An application asks for the image's description and the memory set-up as
// soon as the transfer is announced, before the camera has made an image:
// both describe the image that comes.
TEST_F(AcquisitionTest, ImageInformationAskedAtOnceDescribesTheFirstImage) {
  Open();
  EnableWithoutUi();
  TW_IMAGEINFO info = {};
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
  EXPECT_EQ(TW_INT32{info.ImageWidth}, 1024);
  EXPECT_EQ(TW_INT32{info.ImageLength}, 768);
  EXPECT_EQ(info.BitsPerPixel, 24);
  TW_SETUPMEMXFER setup = {};
  ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
  EXPECT_EQ(TW_UINT32{setup.Preferred}, kBytes);
  EXPECT_EQ(TW_UINT32{setup.MinBufSize}, kBytes);
}

// ---- What each transfer carries ----

TEST_F(AcquisitionTest, TheNativeImageIsAsItsHeaderSays) {
  Open();
  EnableWithoutUi();
  ShowKnownPicture();
  ASSERT_EQ(source_->context()->camera->bgr_option(), 1u)
      << "the option's default";
  const Bytes native = NativeTransfer();
  ASSERT_EQ(native.size(), 40 + kBytes);
  BITMAPINFOHEADER header;
  std::memcpy(&header, native.data(), sizeof(header));
  ASSERT_GT(header.biHeight, 0) << "bottom-up";
  EXPECT_EQ(Regions(native.data() + 40, true, true), "rgb");
}

TEST_F(AcquisitionTest, TheFileIsAsItsHeaderSays) {
  Open();
  const std::string path = ::testing::TempDir() + "plv210_known.bmp";
  ASSERT_EQ(SetUpFile(path), TWRC_SUCCESS);
  EnableWithoutUi();
  ShowKnownPicture();
  Bytes bmp;
  ASSERT_TRUE(FileTransfer(path, &bmp));
  EXPECT_GT(At<int32_t>(bmp, 14 + 8), 0) << "bottom-up";
  EXPECT_EQ(Regions(bmp.data() + 54, true, true), "rgb");
}

TEST_F(AcquisitionTest, TheMemoryTransferFollowsTheBgrOption) {
  Open();
  EnableWithoutUi();
  ShowKnownPicture();
  // On (the default): top-down RGB, as TWAIN's memory transfer of RGB is.
  const Bytes on = MemoryTransfer();
  EXPECT_EQ(Regions(on.data(), false, false), "rgb");
  EndTransfer();
  // Off: the rows and bytes as the preview draws them.
  source_->context()->camera->set_bgr_option(0);
  source_->NotifyHost(MSG_XFERREADY);
  const Bytes off = MemoryTransfer();
  EXPECT_EQ(Regions(off.data(), true, true), "rgb");
  EndTransfer();
  source_->NotifyHost(MSG_XFERREADY);
  const Bytes native = NativeTransfer();
  EXPECT_EQ(Regions(native.data() + 40, true, true), "rgb")
      << "the native image as ever";
}

// ---- One session, many acquisitions ----

TEST_F(AcquisitionTest, SetUpEnableTransferDisableRepeatsInOneOpening) {
  Open();
  for (int round = 0; round < 3; ++round) {
    const std::string path =
        ::testing::TempDir() + "plv210_round" + std::to_string(round) + ".bmp";
    ASSERT_EQ(SetUpFile(path), TWRC_SUCCESS) << "round " << round;
    host::SetSaveFileAnswer("/tmp/chosen.bmp");
    TW_SETUPFILEXFER asked = {};
    EXPECT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &asked),
              TWRC_SUCCESS);
    host::SetSaveFileAnswer("");
    EXPECT_STREQ(source_->transfer_file(), path.c_str())
        << "asking changes nothing";
    EnableWithoutUi();
    Bytes bmp;
    ASSERT_TRUE(FileTransfer(path, &bmp)) << "round " << round;
    EndTransfer();
    Disable();
    ASSERT_EQ(source_->state(), 4);
  }
}

TEST_F(AcquisitionTest, TheTransferFileIsKeptUntilTheSourceCloses) {
  Open();
  const std::string path = ::testing::TempDir() + "plv210_kept.bmp";
  ASSERT_EQ(SetUpFile(path), TWRC_SUCCESS);
  for (int round = 0; round < 2; ++round) {
    std::remove(path.c_str());
    EnableWithoutUi();
    Bytes bmp;
    ASSERT_TRUE(FileTransfer(path, &bmp)) << "round " << round;
    EndTransfer();
    Disable();
  }
  ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
  EXPECT_STREQ(source_->transfer_file(), "")
      << "the next application sets its own";
}

TEST_F(AcquisitionTest,
       ClosingWithTheDialogFromStatesFiveToSevenThenAcquiringAgain) {
  for (int state = 5; state <= 7; ++state) {
    Open();
    TW_USERINTERFACE ui = {1, 0, nullptr};
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui),
              TWRC_SUCCESS);
    if (state >= 6) {
      ASSERT_TRUE(WaitForNewImages(1));
      source_->NotifyHost(MSG_XFERREADY);  // the user's Capture
    }
    if (state == 7) NativeTransfer();
    ASSERT_EQ(source_->state(), state);
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr),
              TWRC_SUCCESS);
    EXPECT_EQ(source_->state(), 3);
    EXPECT_EQ(source_->dialog(), nullptr) << "closed from state " << state;
    EXPECT_EQ(source_->context(), nullptr);

    Open();
    EnableWithoutUi();
    EXPECT_EQ(NativeTransfer().size(), 40 + kBytes)
        << "after closing from state " << state;
    EndTransfer();
    Disable();
    ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr),
              TWRC_SUCCESS);
  }
}

}  // namespace
}  // namespace vk::twain
