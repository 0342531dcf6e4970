// The data source through its triplets, as a TWAIN application and source
// manager drive it, with the camera engine on the simulated stack.
#include "twain/protocol/data_source.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/host/host.h"
#include "tests/twain/data_source_fixture.h"
#include "twain/protocol/strings.h"

namespace vk::twain {
namespace {

TEST(TwainLanguage, OnlySimplifiedChineseGetsTheChineseDialogs) {
  EXPECT_TRUE(ChineseUi(0x0804));
  for (LANGID other : {0x0404, 0x0C04, 0x1004, 0x0409}) EXPECT_FALSE(ChineseUi(other)) << other;
}

TEST(TwainFix32, ConversionBothWays) {
  const TW_FIX32 minus = ToFix32(-1000.0f);
  EXPECT_EQ(minus.Whole, -1000);
  EXPECT_EQ(minus.Frac, 1);
  const TW_FIX32 half = ToFix32(8.5f);
  EXPECT_EQ(half.Whole, 8);
  EXPECT_EQ(half.Frac, 0x8000);
  EXPECT_FLOAT_EQ(FromFix32({11, 0}), 11.0f);
  EXPECT_FLOAT_EQ(FromFix32({2, 0x4000}), 2.25f);
}

TEST_F(DataSourceTest, OwnIdentity) {
  TW_IDENTITY id = {};
  ASSERT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
  EXPECT_EQ(id.Version.MajorNum, 1);
  EXPECT_EQ(id.Version.MinorNum, 0);
  EXPECT_EQ(id.Version.Language, 86);
  EXPECT_EQ(id.Version.Country, 86);
  EXPECT_STREQ(id.Version.Info, "PLV210");
  EXPECT_EQ(id.ProtocolMajor, 1);
  EXPECT_EQ(id.ProtocolMinor, 8);
  // A packed field, copied: DG_CONTROL, DG_IMAGE and DF_DS2.
  EXPECT_EQ(TW_UINT32{id.SupportedGroups}, 0x40000003u);
  EXPECT_STREQ(id.Manufacturer, "VELMORAN");
  EXPECT_STREQ(id.ProductFamily, "PLV210");
  EXPECT_STREQ(id.ProductName, "PLV210 USB2.0 Camera");
}

TEST_F(DataSourceTest, OpeningTwiceAndASecondApplication) {
  Open();
  EXPECT_EQ(source_->state(), 4);
  EXPECT_EQ(source_->identity().Id, 42u);
  TW_IDENTITY again = source_->identity();
  EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &again), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_SEQERROR);
  TW_IDENTITY other = app_;
  other.Id = 8;
  TW_STATUS status = {99, 0};
  EXPECT_EQ(source_->Entry(&other, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_FAILURE);
  EXPECT_EQ(status.ConditionCode, 99) << "refused without effect";
  EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
  EXPECT_EQ(source_->state(), 3);
  EXPECT_EQ(source_->Entry(&other, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &again), TWRC_SUCCESS)
      << "the next application may open it";
}

TEST_F(DataSourceTest, ProcessEventWithoutDialog) {
  MSG msg = {};
  TW_EVENT event = {&msg, 77};
  EXPECT_EQ(Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);
  EXPECT_EQ(event.TWMessage, 77);
  Open();
  EnableWithoutUi();
  msg.hwnd = source_->dialog()->window();
  EXPECT_EQ(Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_DSEVENT);
  EXPECT_EQ(event.TWMessage, MSG_NULL);
}

TEST_F(DataSourceTest, ConditionCodeResetByImageCallsOnly) {
  TW_IDENTITY id = source_->identity();
  Open();
  Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &id);  // SEQERROR
  TW_UINT16 group = 0;
  EXPECT_EQ(Call(DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group), TWRC_SUCCESS);
  EXPECT_EQ(group, DG_IMAGE);
  EXPECT_EQ(Status(), TWCC_SEQERROR) << "a control call keeps it";
  EXPECT_EQ(Status(), TWCC_SUCCESS) << "reading it clears it";
  Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &id);
  TW_IMAGEINFO info;
  EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);  // state 4
  EXPECT_EQ(Status(), TWCC_SEQERROR) << "the image call's own failure";
  Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &id);
  TW_IMAGELAYOUT layout;
  EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
  EXPECT_EQ(Status(), TWCC_SUCCESS) << "an image call resets it";
}

TEST_F(DataSourceTest, EnableWithoutUiAnnouncesATransferAtOnce) {
  Open();
  TW_SETUPMEMXFER setup;
  ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
  EXPECT_EQ(TW_UINT32{setup.MinBufSize}, 16384u);
  EXPECT_EQ(TW_UINT32{setup.MaxBufSize}, 65535u);
  EXPECT_EQ(TW_UINT32{setup.Preferred}, 65535u);
  EnableWithoutUi();
  EXPECT_EQ(testing::transfers_ready.load(), 1);
  EXPECT_EQ(source_->state(), 6);
  TW_PENDINGXFERS pending = {5, 0};
  EXPECT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
  EXPECT_EQ(pending.Count, 0);
  EXPECT_EQ(source_->state(), 5);
  pending.Count = 5;
  EXPECT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_FAILURE);
  EXPECT_EQ(pending.Count, 0) << "written before the state check";
  EXPECT_EQ(Status(), TWCC_SEQERROR);
  TW_USERINTERFACE ui = {};
  EXPECT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
  EXPECT_EQ(source_->state(), 4);
}

TEST_F(DataSourceTest, ThreeTransfersCarryTheSamePicture) {
  Open();
  EnableWithoutUi();
  ASSERT_TRUE(WaitForImage());
  source_->context()->camera->SetExposure(0, 100, 300, 20);  // frames alike from here
  Camera().SetFrameGenerator([](const sim::FrameInfo& f, uint8_t* out) {
    for (size_t i = 0; i < f.geometry.bytes(); ++i) out[i] = static_cast<uint8_t>(i * 7 / 5);
  });
  // Five new images from here on: all of them made from the frames above.
  ASSERT_TRUE(WaitForNewImages(5));
  TW_IMAGEINFO info;
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
  EXPECT_EQ(TW_INT32{info.ImageWidth}, 1024);
  EXPECT_EQ(TW_INT32{info.ImageLength}, 768);
  EXPECT_EQ(info.BitsPerPixel, 24);
  EXPECT_EQ(info.SamplesPerPixel, 3);
  const size_t bytes = 1024 * 768 * 3;

  TW_HANDLE dib = nullptr;
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
  ASSERT_NE(dib, nullptr);
  const auto* p = static_cast<const uint8_t*>(GlobalLock(dib));
  BITMAPINFOHEADER header;
  std::memcpy(&header, p, 40);
  EXPECT_EQ(header.biWidth, 1024);
  EXPECT_EQ(header.biHeight, 768);
  EXPECT_EQ(header.biSizeImage, bytes);
  const Bytes native(p + 40, p + 40 + bytes);
  GlobalUnlock(dib);
  GlobalUnlock(dib);
  GlobalFree(dib);
  TW_PENDINGXFERS pending;
  Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);

  // The memory transfer: a buffer too small comes back larger, whole.
  source_->NotifyHost(MSG_XFERREADY);
  HGLOBAL small = GlobalAlloc(GHND, 100);
  TW_IMAGEMEMXFER memory = {};
  memory.Memory = {0, 100, GlobalLock(small)};
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &memory), TWRC_XFERDONE);
  EXPECT_EQ(TW_UINT32{memory.Memory.Length}, bytes);
  EXPECT_EQ(TW_UINT32{memory.BytesWritten}, bytes);
  EXPECT_EQ(TW_UINT32{memory.BytesPerRow}, 1024u * 3);
  const auto* m = static_cast<const uint8_t*>(memory.Memory.TheMem);
  const Bytes by_memory(m, m + bytes);
  HGLOBAL grown = GlobalHandle(memory.Memory.TheMem);
  GlobalUnlock(grown);
  GlobalFree(grown);
  Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);

  // The file transfer, to the file the set-up named.
  source_->NotifyHost(MSG_XFERREADY);
  const std::string path = ::testing::TempDir() + "plv210_transfer.bmp";
  TW_SETUPFILEXFER file = {};
  std::strcpy(file.FileName, path.c_str());
  ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &file), TWRC_SUCCESS);
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  Bytes bmp(54 + bytes + 1);
  bmp.resize(std::fread(bmp.data(), 1, bmp.size(), f));
  std::fclose(f);
  ASSERT_EQ(bmp.size(), 54 + bytes);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(At<uint32_t>(bmp, 2), 54 + bytes);
  EXPECT_EQ(At<uint32_t>(bmp, 10), 54u);

  // The native image and the file are bottom-up BGR, as their headers say;
  // the BGR option makes the memory transfer top-down RGB.
  EXPECT_EQ(native, Bytes(bmp.begin() + 54, bmp.end()));
  EXPECT_EQ(TopDownRgb(native, 1024, 768), by_memory);
}

TEST_F(DataSourceTest, SaveFileDialogForTheTransferFile) {
  Open();
  TW_SETUPFILEXFER file = {};
  host::SetSaveFileAnswer("");
  EXPECT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &file), TWRC_FAILURE);
  const host::SaveFileDialog shown = host::LastSaveFileDialog();
  EXPECT_EQ(shown.title, "Save Image File");
  EXPECT_EQ(shown.filter, "Image Files|*.bmp|All Files|*.*");
  EXPECT_EQ(shown.default_extension, ".bmp");
  EXPECT_EQ(shown.flags, 0x8806u);
  EXPECT_EQ(shown.filter_index, 1u);
  host::SetSaveFileAnswer("/tmp/chosen.bmp");
  EXPECT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, &file), TWRC_SUCCESS);
  EXPECT_STREQ(file.FileName, "/tmp/chosen.bmp");
  EXPECT_EQ(file.Format, TWFF_BMP);
  std::strcpy(file.FileName, "/no/such/dir/x.bmp");
  EXPECT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &file), TWRC_FAILURE);
  host::SetSaveFileAnswer("");
}

TEST_F(DataSourceTest, SupportedCapabilitiesAndTheYResolutionQuirk) {
  Bytes c;
  TW_UINT16 container = 0;
  ASSERT_EQ(Capability(MSG_GET, CAP_SUPPORTEDCAPS, &c, &container), TWRC_SUCCESS);
  EXPECT_EQ(container, TWON_ARRAY);
  EXPECT_EQ(At<uint16_t>(c, 0), TWTY_UINT16);
  ASSERT_EQ(At<uint32_t>(c, 2), 36u);
  EXPECT_EQ(At<uint16_t>(c, 6 + 2 * 28), ICAP_YRESOLUTION);
  EXPECT_EQ(At<uint16_t>(c, 6 + 2 * 35), 0);
  EXPECT_EQ(Capability(MSG_GET, ICAP_YRESOLUTION), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_CAPUNSUPPORTED);
  EXPECT_EQ(Capability(MSG_GET, ICAP_YNATIVERESOLUTION, &c), TWRC_SUCCESS);
  EXPECT_EQ(At<int16_t>(c, 2), 100);
  EXPECT_EQ(Capability(MSG_GET, ICAP_BITDEPTH, &c), TWRC_SUCCESS) << "kept as 0x9002";
}

TEST_F(DataSourceTest, PixelTypeEnumeration) {
  Bytes c;
  TW_UINT16 container = 0;
  ASSERT_EQ(Capability(MSG_GET, ICAP_PIXELTYPE, &c, &container), TWRC_SUCCESS);
  EXPECT_EQ(container, TWON_ENUMERATION);
  EXPECT_EQ(c.size(), 15u + 2 * 2);
  EXPECT_EQ(At<uint32_t>(c, 2), 2u);
  EXPECT_EQ(At<uint32_t>(c, 6), 0u);
  EXPECT_EQ(At<uint32_t>(c, 10), 0u);
  EXPECT_EQ(At<uint16_t>(c, 14), TWPT_RGB);
  EXPECT_EQ(At<uint16_t>(c, 16), TWPT_RGB);
}

TEST_F(DataSourceTest, RangesAcceptOnlyTheirThreeValues) {
  EXPECT_EQ(SetFix32(ICAP_BRIGHTNESS, 0), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_BADVALUE);
  EXPECT_EQ(SetFix32(ICAP_BRIGHTNESS, -1000), TWRC_SUCCESS);
  EXPECT_EQ(SetFix32(ICAP_BRIGHTNESS, 1000), TWRC_SUCCESS);
  for (float v : {0.0f, 255.0f, 1.0f}) EXPECT_EQ(SetFix32(ICAP_THRESHOLD, v), TWRC_SUCCESS) << v;
  EXPECT_EQ(SetFix32(ICAP_THRESHOLD, 128), TWRC_FAILURE);
  Bytes c;
  ASSERT_EQ(Capability(MSG_GET, ICAP_BRIGHTNESS, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.size(), 22u);
  EXPECT_EQ(At<int16_t>(c, 2), -1000);  // the minimum: Whole -1000
  EXPECT_EQ(At<uint16_t>(c, 4), 1);     // and Frac 1
  EXPECT_EQ(At<int16_t>(c, 18), 1000) << "the current value";
  const uint16_t wrong_type = 5;
  EXPECT_EQ(SetOneValue(ICAP_BRIGHTNESS, TWTY_UINT16, &wrong_type, 2), TWRC_FAILURE);
}

TEST_F(DataSourceTest, TransferCountSetAndReset) {
  const int16_t too_many = 26, most = 25;
  EXPECT_EQ(SetOneValue(CAP_XFERCOUNT, TWTY_INT16, &too_many, 2), TWRC_FAILURE);
  EXPECT_EQ(SetOneValue(CAP_XFERCOUNT, TWTY_INT16, &most, 2), TWRC_SUCCESS);
  Bytes c;
  ASSERT_EQ(Capability(MSG_GETCURRENT, CAP_XFERCOUNT, &c), TWRC_SUCCESS);
  EXPECT_EQ(At<uint32_t>(c, 2), 25u);
  TW_UINT16 container = 0;
  ASSERT_EQ(Capability(MSG_RESET, CAP_XFERCOUNT, &c, &container), TWRC_SUCCESS);
  EXPECT_EQ(container, TWON_ONEVALUE);
  EXPECT_EQ(At<uint32_t>(c, 2), 0xFFFFu) << "-1, widened with zero fill";
}

TEST_F(DataSourceTest, PlanarChunkyAndTheOldProtocol) {
  Bytes c;
  ASSERT_EQ(Capability(MSG_QUERYSUPPORT, ICAP_PLANARCHUNKY, &c), TWRC_SUCCESS);
  EXPECT_EQ(At<uint16_t>(c, 0), TWTY_UINT32);
  EXPECT_EQ(At<uint32_t>(c, 2), 0x0Du);
  const uint16_t chunky = 0;
  EXPECT_EQ(SetOneValue(ICAP_PLANARCHUNKY, TWTY_UINT16, &chunky, 2), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_CAPBADOPERATION);
  app_.ProtocolMinor = 5;
  Open();
  EXPECT_EQ(SetOneValue(ICAP_PLANARCHUNKY, TWTY_UINT16, &chunky, 2), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_BADCAP);
}

TEST_F(DataSourceTest, CapabilityZeroIsAnEmptyRow) {
  EXPECT_EQ(Capability(MSG_GET, 0), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_CAPBADOPERATION);
  Bytes c;
  ASSERT_EQ(Capability(MSG_QUERYSUPPORT, 0, &c), TWRC_SUCCESS);
  EXPECT_EQ(At<uint32_t>(c, 2), 0u);
}

TEST_F(DataSourceTest, FeederLoadedReadsFalseAndHalftonesAreStrings) {
  Bytes c;
  ASSERT_EQ(Capability(MSG_GET, CAP_FEEDERLOADED, &c), TWRC_SUCCESS);
  EXPECT_EQ(At<uint32_t>(c, 2), 0u);
  ASSERT_EQ(Capability(MSG_GET, ICAP_HALFTONES, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.size(), 15u + 2 * 34);
  EXPECT_STREQ(reinterpret_cast<const char*>(c.data() + 14), "FLOYD/STEINBURG");
  EXPECT_STREQ(reinterpret_cast<const char*>(c.data() + 14 + 34), "ORDERED");
  ASSERT_EQ(Capability(MSG_GET, ICAP_FRAMES, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.size(), 6u + 16);
  EXPECT_EQ(At<int16_t>(c, 2 + 8), 11) << "right edge";
  EXPECT_EQ(At<int16_t>(c, 2 + 12), 11) << "bottom edge: the physical height";
}

TEST_F(DataSourceTest, UnknownTripletsAreBadProtocol) {
  TW_UINT16 data = 0;
  EXPECT_EQ(Call(DG_CONTROL, 0x7777, MSG_GET, &data), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_BADPROTOCOL);
  TW_IMAGELAYOUT layout;
  EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETFIRST, &layout), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_BADPROTOCOL);
  TW_STATUS status;
  EXPECT_EQ(Call(DG_CONTROL, DAT_STATUS, MSG_SET, &status), TWRC_FAILURE);
  TW_PALETTE8 palette;
  Open();
  ASSERT_EQ(Call(DG_IMAGE, DAT_PALETTE8, MSG_GET, &palette), TWRC_SUCCESS);
  EXPECT_EQ(palette.NumColors, 0);
  EXPECT_EQ(palette.PaletteType, TWPA_CMY);
}

}  // namespace
}  // namespace vk::twain
