// The camera access token across cameras and handles.
#include <future>

#include "link_fixture.h"

namespace vk::drv {
namespace {

class TokenTest : public LinkFixture {
 protected:
  void SetUp() override {
    LinkFixture::SetUp();
    for (int i = 1; i < kCameras; ++i) Plug();
    files_.push_back(file_);
    for (int i = 1; i < kCameras; ++i) files_.push_back(OpenAnother(i));
  }

  // The block comes back only with a successful status, as Windows copies
  // buffered output back only then.
  struct Pending {
    std::shared_ptr<std::promise<kernel::IoStatus>> done;
    std::shared_ptr<std::vector<uint8_t>> block;
    std::shared_future<kernel::IoStatus> result;
    kernel::Irp* request = nullptr;
    kernel::IoStatus Wait() { return result.get(); }
  };
  Pending Send(sim::OpenFile& file, uint8_t operation) {
    Pending p{std::make_shared<std::promise<kernel::IoStatus>>(),
              std::make_shared<std::vector<uint8_t>>(8, 0xEE), {}};
    p.result = p.done->get_future().share();
    (*p.block)[0] = operation;
    (*p.block)[1] = 0xEE;
    auto done = p.done;
    io_.DeviceControl(file, IOCTL_EXCLUSIVE_ACCESS, p.block->data(), 8,
                      p.block->data(), 8,
                      [done](const kernel::IoStatus& io) { done->set_value(io); },
                      &p.request);
    return p;
  }
  Pending Acquire(int camera) { return Send(*files_[camera], 1); }
  Pending Release(int camera) { return Send(*files_[camera], 0); }
  static bool Ready(Pending& p) {
    return p.result.wait_for(std::chrono::seconds(0)) ==
           std::future_status::ready;
  }

  static constexpr int kCameras = 8;
  std::vector<std::shared_ptr<sim::OpenFile>> files_;
};

TEST_F(TokenTest, FirstAcquireHoldsAndASecondFromTheHolderFails) {
  Pending a = Acquire(0);
  kernel::IoStatus io = a.Wait();
  EXPECT_EQ(io.status, kStatusSuccess);
  EXPECT_EQ(io.information, 8u);
  EXPECT_EQ((*a.block)[1], 1);
  Pending again = Acquire(0);
  io = again.Wait();
  EXPECT_EQ(io.status, kStatusUnsuccessful);
  EXPECT_EQ(io.information, 8u);
}

TEST_F(TokenTest, ReleaseGrantsTheWaiterInOrder) {
  Acquire(0).Wait();
  Pending b = Acquire(1);
  Pending c = Acquire(2);
  EXPECT_FALSE(Ready(b));
  EXPECT_EQ(PendingIo(1), 2);  // the waiting acquire holds it
  Pending second = Acquire(1);  // while waiting: fails at once
  EXPECT_EQ(second.Wait().status, kStatusUnsuccessful);
  Pending r = Release(0);
  EXPECT_EQ(r.Wait().status, kStatusSuccess);
  EXPECT_EQ((*r.block)[1], 0);
  EXPECT_EQ(b.Wait().status, kStatusSuccess);
  EXPECT_EQ((*b.block)[1], 1);
  EXPECT_FALSE(Ready(c));
  EXPECT_EQ(PendingIo(1), 1);
  Release(1).Wait();
  EXPECT_EQ(c.Wait().status, kStatusSuccess);
}

TEST_F(TokenTest, FullRingRefusesAnotherWaiter) {
  Acquire(0).Wait();
  std::vector<Pending> waiting;
  for (int i = 1; i <= 7; ++i) waiting.push_back(Acquire(i));
  for (auto& w : waiting) EXPECT_FALSE(Ready(w));
  // Cancel the first waiter: its slot stays taken, emptied.
  EXPECT_TRUE(io_.Cancel(*files_[1], waiting[0].request));
  EXPECT_EQ(waiting[0].Wait().status, kStatusCancelled);
  Pending refused = Acquire(1);
  EXPECT_EQ(refused.Wait().status, kStatusUnsuccessful);
  // The release skips the emptied slot and grants camera 2.
  Release(0).Wait();
  EXPECT_EQ(waiting[1].Wait().status, kStatusSuccess);
  for (int i = 2; i <= 7; ++i) Release(i).Wait();
  for (size_t i = 2; i < waiting.size(); ++i)
    EXPECT_EQ(waiting[i].Wait().status, kStatusSuccess);
}

TEST_F(TokenTest, ClosingAWaitingHandleCancelsItsAcquire) {
  Acquire(0).Wait();
  std::shared_ptr<sim::OpenFile> extra = OpenAnother(1);
  Pending b = Send(*extra, 1);
  Pending c = Acquire(2);
  io_.Close(extra);  // closes when its acquire has finished
  EXPECT_EQ(b.Wait().status, kStatusCancelled);
  Release(0).Wait();
  EXPECT_EQ(c.Wait().status, kStatusSuccess);
}

TEST_F(TokenTest, ClosingTheOwnersHandleGrantsTheNext) {
  std::shared_ptr<sim::OpenFile> owner = OpenAnother(0);
  EXPECT_EQ(Send(*owner, 1).Wait().status, kStatusSuccess);
  Pending b = Acquire(1);
  io_.Close(owner);
  EXPECT_EQ(b.Wait().status, kStatusSuccess);
  EXPECT_TRUE(Extension(1)->token_held);
  EXPECT_FALSE(Extension(0)->token_held);
}

TEST_F(TokenTest, ReleaseWithoutHoldingSucceeds) {
  Pending r = Release(3);
  const kernel::IoStatus io = r.Wait();
  EXPECT_EQ(io.status, kStatusSuccess);
  EXPECT_EQ(io.information, 8u);
  EXPECT_EQ((*r.block)[1], 0);
}

TEST_F(TokenTest, RemovalOfTheHolderPassesTheToken) {
  Acquire(0).Wait();
  Pending b = Acquire(1);
  pnp().Unplug(camera_.id);
  EXPECT_EQ(b.Wait().status, kStatusSuccess);
  camera_.bus.reset();
}

TEST_F(TokenTest, RemovalOfAWaiterCancelsItsAcquire) {
  Acquire(0).Wait();
  Pending b = Acquire(1);
  const std::vector<sim::PluggedCamera> cameras = pnp().Cameras();
  pnp().Unplug(cameras[1].id);
  EXPECT_EQ(b.Wait().status, kStatusCancelled);
  Release(0).Wait();
}

TEST_F(TokenTest, ShortBlocksAreRefused) {
  uint8_t block[8] = {1};
  EXPECT_EQ(Ioctl(IOCTL_EXCLUSIVE_ACCESS, block, 7, block, 8).status,
            kStatusInvalidParameter);
  EXPECT_EQ(Ioctl(IOCTL_EXCLUSIVE_ACCESS, block, 8, block, 7).status,
            kStatusInvalidParameter);
  EXPECT_FALSE(Extension(0)->token_held);
}

}  // namespace
}  // namespace vk::drv
