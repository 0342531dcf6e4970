// The data source with both kinds of source manager: a 2.x manager's entry
// points carry the notices and all memory between source and application;
// without them "twain_32.dll" and the platform's global memory do. And the
// triplets' data pointers: a call without the data it needs is refused.
#include <cstring>

#include "tests/twain/data_source_fixture.h"
#include "twain/dialog/control_ids.h"

namespace vk::twain {
namespace {

using ManagerTest = DataSourceTest;

// Reads a block of the 2.x manager as the application does: the handle is
// the memory.
template <typename T>
T Read(TW_HANDLE block, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(block) + offset, sizeof(T));
  return value;
}

void FreeManager2Block(TW_HANDLE block) {
  testing::Manager2EntryPoints().DSM_MemFree(block);
}

TEST_F(ManagerTest, NoticesGoThroughTheEntryPointThatCame) {
  GiveEntryPoints();
  Open();
  EnableWithoutUi();
  EXPECT_EQ(testing::manager2_transfers_ready.load(), 1);
  EXPECT_EQ(testing::transfers_ready.load(), 0) << "twain_32.dll is not asked";
  EXPECT_EQ(source_->state(), 6);
  source_->dialog()->HandleMessage(WM_COMMAND, IDC_CANCEL, 0);
  EXPECT_EQ(testing::manager2_close_requests.load(), 1);
  EXPECT_EQ(testing::close_requests.load(), 0);
}

TEST_F(ManagerTest, WithoutEntryPointsNoticesGoThroughTwain32) {
  Open();
  EnableWithoutUi();
  EXPECT_EQ(testing::transfers_ready.load(), 1);
  EXPECT_EQ(testing::manager2_transfers_ready.load(), 0);
}

TEST_F(ManagerTest, EntryPointsAreGivenBackAsTheyCame) {
  TW_ENTRYPOINT points = {};
  EXPECT_EQ(Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &points), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_SEQERROR) << "none came yet";
  GiveEntryPoints();
  const TW_ENTRYPOINT given = testing::Manager2EntryPoints();
  ASSERT_EQ(Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &points), TWRC_SUCCESS);
  EXPECT_EQ(TW_UINT32{points.Size}, sizeof(TW_ENTRYPOINT));
  EXPECT_EQ(DSMENTRYPROC{points.DSM_Entry}, DSMENTRYPROC{given.DSM_Entry});
  EXPECT_EQ(DSM_MEMLOCK{points.DSM_MemLock}, DSM_MEMLOCK{given.DSM_MemLock});
  EXPECT_EQ(Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_RESET, &points), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_BADPROTOCOL);
}

TEST_F(ManagerTest, IncompleteOrLateEntryPointsAreRefused) {
  TW_ENTRYPOINT points = testing::Manager2EntryPoints();
  points.Size = sizeof(TW_ENTRYPOINT) - 1;
  EXPECT_EQ(Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_BADVALUE);
  points = testing::Manager2EntryPoints();
  points.DSM_MemUnlock = nullptr;
  EXPECT_EQ(Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_BADVALUE);
  EXPECT_FALSE(source_->manager().has_entry_points()) << "nothing of them kept";
  Open();
  points = testing::Manager2EntryPoints();
  EXPECT_EQ(Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &points), TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_SEQERROR) << "only before the source is opened";
  EnableWithoutUi();
  EXPECT_EQ(testing::transfers_ready.load(), 1);
}

TEST_F(ManagerTest, ContainersComeFromTheManagersMemory) {
  GiveEntryPoints();
  TW_CAPABILITY cap = {ICAP_PIXELTYPE, 0, nullptr};
  ASSERT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_SUCCESS);
  ASSERT_TRUE(testing::IsManager2Block(cap.hContainer));
  EXPECT_EQ(cap.ConType, TWON_ENUMERATION);
  EXPECT_EQ(Read<uint16_t>(cap.hContainer, 0), TWTY_UINT16);
  EXPECT_EQ(Read<uint32_t>(cap.hContainer, 2), 2u);
  EXPECT_EQ(Read<uint16_t>(cap.hContainer, 14), TWPT_RGB);
  FreeManager2Block(cap.hContainer);
  cap = {ICAP_BRIGHTNESS, 0, nullptr};
  ASSERT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_QUERYSUPPORT, &cap),
            TWRC_SUCCESS);
  ASSERT_TRUE(testing::IsManager2Block(cap.hContainer));
  EXPECT_EQ(Read<uint32_t>(cap.hContainer, 2), 0x1Fu);
  FreeManager2Block(cap.hContainer);
  EXPECT_EQ(testing::Manager2Blocks(), 0);
}

TEST_F(ManagerTest, TheApplicationsContainerIsReadThroughTheManager) {
  GiveEntryPoints();
  const TW_ENTRYPOINT manager = testing::Manager2EntryPoints();
  TW_HANDLE block = manager.DSM_MemAllocate(sizeof(TW_ONEVALUE));
  const uint16_t type = TWTY_INT16;
  const int16_t count = 25;
  std::memcpy(manager.DSM_MemLock(block), &type, 2);
  std::memcpy(static_cast<uint8_t*>(manager.DSM_MemLock(block)) + 2, &count, 2);
  TW_CAPABILITY cap = {CAP_XFERCOUNT, TWON_ONEVALUE, block};
  EXPECT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_SUCCESS);
  manager.DSM_MemFree(block);
  cap = {CAP_XFERCOUNT, 0, nullptr};
  ASSERT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &cap),
            TWRC_SUCCESS);
  EXPECT_EQ(Read<uint32_t>(cap.hContainer, 2), 25u);
  FreeManager2Block(cap.hContainer);
}

TEST_F(ManagerTest, TheNativeImageComesFromTheManagersMemory) {
  GiveEntryPoints();
  Open();
  EnableWithoutUi();
  TW_HANDLE dib = nullptr;
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
  ASSERT_TRUE(testing::IsManager2Block(dib));
  EXPECT_EQ(Read<uint32_t>(dib, 0), 40u);
  EXPECT_EQ(Read<int32_t>(dib, 4), 1024);
  EXPECT_EQ(Read<int32_t>(dib, 8), 768);
  FreeManager2Block(dib);
  TW_PENDINGXFERS pending = {};
  ASSERT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending),
            TWRC_SUCCESS);
  // The file transfer's image is the source's own: given back to the
  // manager once written.
  source_->NotifyHost(MSG_XFERREADY);
  TW_SETUPFILEXFER file = {};
  const std::string path = ::testing::TempDir() + "plv210_manager2.bmp";
  std::strcpy(file.FileName, path.c_str());
  ASSERT_EQ(Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &file), TWRC_SUCCESS);
  ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE);
  EXPECT_EQ(testing::Manager2Blocks(), 0);
}

// Triplets whose data TWAIN leaves unread may come without any; every
// other one is refused without its data, changing nothing.
TEST_F(ManagerTest, TripletsThatNeedDataRefuseANullPointer) {
  EXPECT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_CLOSEDS, nullptr),
            TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_BADVALUE);
  EXPECT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_DISABLEDS, nullptr),
            TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_BADVALUE);
  Open();
  EnableWithoutUi();
  EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_DISABLEDS, nullptr),
            TWRC_FAILURE);
  EXPECT_EQ(Status(), TWCC_BADVALUE);
  EXPECT_EQ(source_->state(), 6);
  const TW_UINT16 kDats[] = {
      DAT_CAPABILITY,      DAT_IDENTITY,  DAT_PENDINGXFERS,  DAT_SETUPMEMXFER,
      DAT_SETUPFILEXFER,   DAT_STATUS,    DAT_USERINTERFACE, DAT_XFERGROUP,
      DAT_ENTRYPOINT,      DAT_IMAGEINFO, DAT_IMAGELAYOUT,   DAT_IMAGEMEMXFER,
      DAT_IMAGENATIVEXFER, DAT_PALETTE8};
  const TW_UINT16 kMessages[] = {
      MSG_GET,      MSG_GETCURRENT,   MSG_GETDEFAULT, MSG_SET,
      MSG_RESET,    MSG_QUERYSUPPORT, MSG_OPENDS,     MSG_CLOSEDS,
      MSG_ENABLEDS, MSG_DISABLEDS,    MSG_ENDXFER};
  for (TW_UINT32 dg : {DG_CONTROL, DG_IMAGE}) {
    for (TW_UINT16 dat : kDats) {
      if ((dat >= DAT_IMAGEINFO) != (dg == DG_IMAGE)) continue;
      for (TW_UINT16 msg : kMessages) {
        const bool unread =
            (dat == DAT_IDENTITY && msg == MSG_CLOSEDS) ||
            (dat == DAT_USERINTERFACE && msg == MSG_DISABLEDS) ||
            (dat == DAT_XFERGROUP && msg == MSG_SET) ||
            (dat == DAT_IMAGELAYOUT && (msg == MSG_SET || msg == MSG_RESET));
        if (unread) continue;
        EXPECT_EQ(Call(dg, dat, msg, nullptr), TWRC_FAILURE)
            << dat << " " << msg;
        EXPECT_EQ(Status(), TWCC_BADVALUE) << dat << " " << msg;
        EXPECT_EQ(source_->state(), 6) << dat << " " << msg;
      }
    }
  }
  EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, nullptr), TWRC_SUCCESS);
  EXPECT_EQ(Call(DG_CONTROL, DAT_XFERGROUP, MSG_SET, nullptr), TWRC_SUCCESS);
  EXPECT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, nullptr),
            TWRC_SUCCESS);
  EXPECT_EQ(Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, nullptr), TWRC_SUCCESS);
  EXPECT_EQ(source_->state(), 3);
}

}  // namespace
}  // namespace vk::twain
