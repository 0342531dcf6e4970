// The simulated kernel's verifier: each rule it enforces, broken on purpose
// by a small driver of the test's own, is reported with its rule.
#include "sim/kernel/verifier.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/sim_kernel.h"

namespace vk::sim {
namespace {

using kernel::Irp;

class VerifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    verifier::SetHandler([this](const Violation& v) {
      std::lock_guard lock(mutex_);
      rules_.push_back(v.rule);
      routines_.push_back(v.routine);
    });
  }
  void TearDown() override { verifier::SetHandler(nullptr); }

  std::vector<std::string> Rules() {
    std::lock_guard lock(mutex_);
    return std::exchange(rules_, {});
  }
  // A device of a driver whose dispatch routine for every major is
  // `routine`, below it nothing.
  kernel::DeviceObject* Device(kernel::DispatchRoutine routine) {
    kernel::DriverObject* driver =
        kernel_.CreateDriverObject(u"\\Driver\\test");
    for (uint8_t major = 0; major <= kernel::kIrpMjMaximum; ++major)
      kernel_.SetDispatch(driver, major, routine);
    kernel::DeviceObject* device = nullptr;
    EXPECT_EQ(kernel_.CreateDevice(driver, 16, nullptr, &device),
              kStatusSuccess);
    return device;
  }
  Irp* Request(kernel::DeviceObject* device) {
    Irp* irp = kernel_.NewIrp(device->stack_size);
    irp->stack[irp->current - 1].major = kernel::kIrpMjDeviceControl;
    return irp;
  }

  SimKernel kernel_;
  std::mutex mutex_;
  std::vector<std::string> rules_;
  std::vector<std::string> routines_;
};

TEST_F(VerifierTest, SpinLockRaisesToDispatchAndRestores) {
  kernel::SpinLock lock;
  kernel_.InitializeSpinLock(&lock);
  EXPECT_EQ(verifier::CurrentIrql(), kPassiveLevel);
  const kernel::Irql previous = kernel_.AcquireSpinLock(&lock);
  EXPECT_EQ(previous, kPassiveLevel);
  EXPECT_EQ(verifier::CurrentIrql(), kDispatchLevel);
  kernel_.ReleaseSpinLock(&lock, previous);
  EXPECT_EQ(verifier::CurrentIrql(), kPassiveLevel);
  EXPECT_TRUE(Rules().empty());
}

TEST_F(VerifierTest, WaitingUnderASpinLockIsReported) {
  kernel::SpinLock lock;
  kernel::Event event;
  kernel_.InitializeSpinLock(&lock);
  kernel_.InitializeEvent(&event, true, true);
  const kernel::Irql previous = kernel_.AcquireSpinLock(&lock);
  kernel_.WaitForEvent(&event);
  kernel_.ReleaseSpinLock(&lock, previous);
  EXPECT_EQ(Rules(), std::vector<std::string>{
                         "KeWaitForSingleObject without time-out at "
                         "DISPATCH_LEVEL (allowed up to APC_LEVEL)"});
}

TEST_F(VerifierTest, PassiveOnlyCallsAndPagedPoolAboveTheirLevel) {
  kernel::SpinLock lock;
  kernel_.InitializeSpinLock(&lock);
  const kernel::Irql previous = kernel_.AcquireSpinLock(&lock);
  kernel::RegistryKey* key = nullptr;
  kernel_.OpenKey(u"\\Registry\\Machine\\Nothing", &key);
  void* paged = kernel_.AllocatePaged(8);
  kernel_.ReleaseSpinLock(&lock, previous);
  kernel_.FreePool(paged);
  EXPECT_EQ(Rules(),
            (std::vector<std::string>{
                "ZwOpenKey at DISPATCH_LEVEL (allowed up to PASSIVE_LEVEL)",
                "ExAllocatePool(PagedPool) at DISPATCH_LEVEL (allowed up to "
                "APC_LEVEL)"}));
}

TEST_F(VerifierTest, SpinLockReleasedByAnotherThreadOrWithAWrongLevel) {
  kernel::SpinLock lock;
  kernel_.InitializeSpinLock(&lock);
  kernel_.ReleaseSpinLock(&lock, kPassiveLevel);  // never acquired
  const kernel::Irql previous = kernel_.AcquireSpinLock(&lock);
  std::thread([&] { kernel_.ReleaseSpinLock(&lock, previous); }).join();
  EXPECT_EQ(Rules(),
            (std::vector<std::string>{
                "spin lock released that this thread does not hold",
                "spin lock released with a wrong level",  // at passive level
                "spin lock released that this thread does not hold",
                "spin lock released with a wrong level"}));
  verifier::Lower(kPassiveLevel);
}

TEST_F(VerifierTest, ZeroByteAllocationIsReported) {
  kernel_.FreePool(kernel_.AllocateNonPaged(0));
  EXPECT_EQ(Rules(), std::vector<std::string>{"zero-byte pool allocation"});
}

TEST_F(VerifierTest, RequestCompletedTwiceOrWithItsCancelRoutine) {
  Irp* irp = kernel_.NewIrp(1);
  kernel_.CompleteRequest(irp);
  kernel_.CompleteRequest(irp);
  Irp* cancellable = kernel_.NewIrp(1);
  kernel_.ExchangeCancelRoutine(cancellable,
                                [](kernel::DeviceObject*, Irp*) {});
  kernel_.CompleteRequest(cancellable);
  EXPECT_EQ(Rules(),
            (std::vector<std::string>{
                "request completed twice",
                "request completed with its cancel routine still set"}));
  kernel_.FreeIrp(irp);
  cancellable->cancel_routine = nullptr;
  kernel_.FreeIrp(cancellable);
}

TEST_F(VerifierTest, PendingMustBeMarkedAndMarkedMustPend) {
  kernel::DeviceObject* unmarked =
      Device([](kernel::DeviceObject*, Irp*) { return kStatusPending; });
  kernel::DeviceObject* marked = Device([](kernel::DeviceObject* d, Irp* irp) {
    d->kernel->MarkPending(irp);
    return kStatusSuccess;
  });
  Irp* a = Request(unmarked);
  Irp* b = Request(marked);
  kernel_.CallDriver(unmarked, a);
  kernel_.CallDriver(marked, b);
  EXPECT_EQ(
      Rules(),
      (std::vector<std::string>{
          "dispatch returned STATUS_PENDING without marking the "
          "request pending",
          "dispatch marked the request pending and returned 0x00000000"}));
  EXPECT_NE(routines_[0].find("dispatch routine"), std::string::npos);
  kernel_.FreeIrp(a);
  kernel_.FreeIrp(b);
}

// The lower device completes with STATUS_NOT_SUPPORTED; the upper one
// skips its location and claims success.
// A caller's output locked again for writing: only in the dispatch of its
// request on the caller's thread, and unlocked before the request completes.
TEST_F(VerifierTest, CallersOutputLockedForWritingInItsContextOnly) {
  static kernel::Mdl* locked = nullptr;
  kernel::DeviceObject* keeps_lock = Device([](kernel::DeviceObject* d,
                                               Irp* irp) {
    EXPECT_EQ(d->kernel->LockOutputForWriting(irp, &locked), kStatusSuccess);
    d->kernel->CompleteRequest(irp);
    return kStatusSuccess;
  });
  uint8_t caller[8] = {};
  kernel::Mdl described;
  described.start_va = caller;
  described.byte_count = sizeof(caller);
  Irp* irp = Request(keeps_lock);
  irp->mdl = &described;
  irp->user_buffer = caller;
  irp->issuer = std::this_thread::get_id();
  kernel_.CallDriver(keeps_lock, irp);
  ASSERT_NE(locked, nullptr);
  EXPECT_EQ(kernel_.MdlVirtualAddress(locked), caller);
  EXPECT_EQ(kernel_.MdlByteCount(locked), 8u);
  kernel_.UnlockOutput(locked);
  kernel_.UnlockOutput(locked);
  // Outside any dispatch, on another thread.
  std::thread([&] {
    kernel::Mdl* elsewhere = nullptr;
    kernel_.LockOutputForWriting(irp, &elsewhere);
    kernel_.UnlockOutput(elsewhere);
  }).join();
  EXPECT_EQ(Rules(),
            (std::vector<std::string>{
                "request completed with the caller's pages still locked for "
                "writing",
                "MmUnlockPages of an MDL that is not locked",
                "MmProbeAndLockPages of a caller's buffer outside the dispatch "
                "routine of its request, on a thread other than the "
                "caller's"}));
  irp->mdl = nullptr;
  kernel_.FreeIrp(irp);
}

// The I/O manager locks a METHOD_IN_DIRECT output for reading: a driver
// that writes into it is reported when the request ends, and the caller's
// buffer keeps its bytes; a METHOD_OUT_DIRECT output is the caller's own.
TEST_F(VerifierTest, WriteIntoAnInDirectOutputIsReported) {
  kernel::DriverObject* driver = kernel_.CreateDriverObject(u"\\Driver\\rw");
  for (uint8_t major = 0; major <= kernel::kIrpMjMaximum; ++major) {
    kernel_.SetDispatch(driver, major, [](kernel::DeviceObject* d, Irp* irp) {
      SimKernel& k = *d->kernel;
      if (k.CurrentStack(irp).major == kernel::kIrpMjDeviceControl)
        static_cast<uint8_t*>(k.MapMdl(k.RequestMdl(irp)))[0] = 0x77;
      k.CompleteRequest(irp);
      return kStatusSuccess;
    });
  }
  kernel::DeviceObject* device = nullptr;
  ASSERT_EQ(kernel_.CreateDevice(driver, 16, u"\\Device\\rw0", &device),
            kStatusSuccess);
  ASSERT_EQ(kernel_.CreateSymbolicLink(u"\\DosDevices\\rw0", u"\\Device\\rw0"),
            kStatusSuccess);
  IoManager io(kernel_);
  std::shared_ptr<OpenFile> file;
  ASSERT_EQ(io.Open(u"\\DosDevices\\rw0", &file), kStatusSuccess);
  uint8_t out[4] = {1, 2, 3, 4};
  for (uint32_t method : {1u, 2u}) {  // in-direct, then out-direct
    io.DeviceControl(*file, 0x220000u | method, nullptr, 0, out, 4,
                     [](const kernel::IoStatus&) {});
  }
  EXPECT_EQ(Rules(), std::vector<std::string>{
                         "a write into a buffer described as read-only (the "
                         "output of a METHOD_IN_DIRECT request)"});
  EXPECT_EQ(out[0], 0x77);  // the out-direct write only
  io.Close(file);
  kernel_.DeleteSymbolicLink(u"\\DosDevices\\rw0");
  kernel_.DeleteDevice(device);
  kernel_.DeleteDriverObject(driver);
}

TEST_F(VerifierTest, PassDownWithoutCompletionReturnsTheLowerStatus) {
  static kernel::DeviceObject* lower = nullptr;
  lower = Device([](kernel::DeviceObject* d, Irp* irp) {
    d->kernel->SetStatus(irp, kStatusNotSupported, 0);
    d->kernel->CompleteRequest(irp);
    return kStatusNotSupported;
  });
  kernel::DeviceObject* upper = Device([](kernel::DeviceObject* d, Irp* irp) {
    d->kernel->SkipStack(irp);
    d->kernel->CallDriver(lower, irp);
    return kStatusSuccess;
  });
  upper->stack_size = 2;
  Irp* irp = Request(upper);
  kernel_.CallDriver(upper, irp);
  EXPECT_EQ(Rules(), std::vector<std::string>{
                         "dispatch passed the request down without a "
                         "completion routine and returned 0x00000000, not "
                         "the lower driver's 0xC00000BB"});
  kernel_.FreeIrp(irp);
}

TEST_F(VerifierTest, CallWithNoStackLocationLeft) {
  kernel::DeviceObject* device = Device([](kernel::DeviceObject* d, Irp* irp) {
    return d->kernel->CallDriver(d, irp);  // sends itself down once more
  });
  Irp* irp = Request(device);
  kernel_.CallDriver(device, irp);
  EXPECT_EQ(Rules(), std::vector<std::string>{
                         "IoCallDriver with no stack location left"});
  kernel_.FreeIrp(irp);
}

TEST_F(VerifierTest, DeviceDeletedWhileItHoldsARequest) {
  kernel::DeviceObject* device = Device([](kernel::DeviceObject* d, Irp* irp) {
    d->kernel->MarkPending(irp);
    return kStatusPending;
  });
  Irp* irp = Request(device);
  kernel_.CallDriver(device, irp);
  kernel::DriverObject* driver = device->driver;
  kernel_.DeleteDevice(device);
  EXPECT_EQ(Rules(), std::vector<std::string>{
                         "device deleted while a request it holds is not "
                         "completed"});
  kernel_.FreeIrp(irp);
  kernel_.DeleteDriverObject(driver);
}

TEST_F(VerifierTest, PoolAndThreadsLeftAtUnload) {
  kernel::DriverObject* driver = kernel_.CreateDriverObject(u"\\Driver\\test");
  void* kept = kernel_.AllocateNonPaged(100);
  kernel_.VerifyUnload(driver);
  EXPECT_EQ(Rules(), std::vector<std::string>{
                         "driver unloaded with 1 pool blocks (100 bytes) or "
                         "requests still allocated"});
  kernel_.FreePool(kept);
  kernel_.VerifyUnload(driver);
  EXPECT_TRUE(Rules().empty());
  kernel_.DeleteDriverObject(driver);
}

TEST_F(VerifierTest, FreedTwiceIsReported) {
  void* block = kernel_.AllocateNonPaged(16);
  kernel_.FreePool(block);
  kernel_.FreePool(block);
  EXPECT_EQ(Rules(), std::vector<std::string>{
                         "ExFreePool of a block that is not allocated (freed "
                         "twice?)"});
}

// Queued from dispatch level, run at passive level, where it may wait.
TEST_F(VerifierTest, WorkItemRunsAtPassiveLevel) {
  kernel::DeviceObject* device = Device(nullptr);
  kernel::WorkItem* item = kernel_.AllocateWorkItem(device);
  static kernel::Irql seen = kDispatchLevel;
  kernel::SpinLock lock;
  kernel::Event gate;
  kernel_.InitializeSpinLock(&lock);
  kernel_.InitializeEvent(&gate, true, false);
  const kernel::Irql previous = kernel_.AcquireSpinLock(&lock);
  kernel_.QueueWorkItem(
      item,
      [](kernel::DeviceObject* d, void* context) {
        seen = verifier::CurrentIrql();
        d->kernel->WaitForEvent(static_cast<kernel::Event*>(context));
      },
      &gate);
  kernel_.ReleaseSpinLock(&lock, previous);
  kernel_.SetEvent(&gate);
  kernel_.FlushWorkItems();
  EXPECT_EQ(seen, kPassiveLevel);
  EXPECT_TRUE(Rules().empty());
  kernel_.FreeWorkItem(item);
  kernel::DriverObject* driver = device->driver;
  kernel_.DeleteDevice(device);
  kernel_.DeleteDriverObject(driver);
}

}  // namespace
}  // namespace vk::sim
