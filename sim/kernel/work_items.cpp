// Work items: queued at dispatch level, run at passive level by the system
// worker thread, each keeping its device object until its routine returns.
#include <new>

#include "sim/kernel/sim_kernel.h"

namespace vk::sim {

kernel::WorkItem* SimKernel::AllocateWorkItem(kernel::DeviceObject* device) {
  verifier::RequireAtMost(kDispatchLevel, "IoAllocateWorkItem");
  void* block = AllocateAccounted(sizeof(kernel::WorkItem));
  if (block == nullptr) return nullptr;
  auto* item = new (block) kernel::WorkItem;
  item->device = device;
  return item;
}

void SimKernel::QueueWorkItem(kernel::WorkItem* item,
                              kernel::WorkItemRoutine routine, void* context) {
  verifier::RequireAtMost(kDispatchLevel, "IoQueueWorkItem");
  if (item->queued.exchange(true)) {
    verifier::Report("IoQueueWorkItem of a work item already queued");
    return;
  }
  ReferenceDevice(item->device);
  std::lock_guard lock(work_mutex_);
  work_.push_back({item, {routine, context}});
  if (!worker_.joinable()) worker_ = std::thread([this] { WorkerThread(); });
  work_changed_.notify_all();
}

void SimKernel::FreeWorkItem(kernel::WorkItem* item) {
  verifier::RequireAtMost(kDispatchLevel, "IoFreeWorkItem");
  if (item->queued.load())
    verifier::Report("IoFreeWorkItem of a queued work item");
  item->~WorkItem();
  FreePool(item);
}

void SimKernel::WorkerThread() {
  std::unique_lock lock(work_mutex_);
  for (;;) {
    work_changed_.wait(lock, [this] { return work_stop_ || !work_.empty(); });
    if (work_.empty()) return;
    const auto [item, call] = work_.front();
    work_.pop_front();
    ++work_running_;
    lock.unlock();
    // The item may be queued again (or freed) once its routine has started.
    kernel::DeviceObject* device = item->device;
    item->queued = false;
    {
      verifier::LevelScope passive(kPassiveLevel);
      verifier::RoutineScope scope(
          {RoutineKind::kWorkItem, reinterpret_cast<const void*>(call.first)});
      call.first(device, call.second);
      if (verifier::CurrentIrql() != kPassiveLevel)
        verifier::Report("work item returned above PASSIVE_LEVEL");
    }
    ReleaseDevice(device);
    lock.lock();
    --work_running_;
    work_changed_.notify_all();
  }
}

void SimKernel::FlushWorkItems() {
  std::unique_lock lock(work_mutex_);
  work_changed_.wait(lock,
                     [this] { return work_.empty() && work_running_ == 0; });
}

}  // namespace vk::sim
