// Spin locks, events and system threads, kept inside the driver's own
// storage as the kernel keeps KSPIN_LOCK and KEVENT.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "sim/kernel/sim_kernel.h"
#include "sim/kernel/verifier.h"

namespace vk::sim {
namespace {

struct EventState {
  std::atomic<uint32_t> signalled;
  bool notification;
};
// A spin lock: the lock word and the number of the thread holding it, so
// the verifier can tell a release by a thread that does not hold it.
struct LockState {
  std::atomic<uint32_t> held;
  std::atomic<uint32_t> owner;
};
static_assert(sizeof(EventState) <= sizeof(kernel::Event));
static_assert(sizeof(LockState) <= sizeof(kernel::SpinLock));

EventState* StateOf(kernel::Event* event) {
  return std::launder(reinterpret_cast<EventState*>(event->opaque));
}
LockState* LockOf(kernel::SpinLock* lock) {
  return std::launder(reinterpret_cast<LockState*>(lock->opaque));
}

uint32_t ThisThread() {
  static std::atomic<uint32_t> next{1};
  thread_local const uint32_t id = next++;
  return id;
}

}  // namespace

void SimKernel::InitializeSpinLock(kernel::SpinLock* lock) {
  new (lock->opaque) LockState{{0}, {0}};
}

kernel::Irql SimKernel::AcquireSpinLock(kernel::SpinLock* lock) {
  verifier::RequireAtMost(kDispatchLevel, "KeAcquireSpinLock");
  LockState* l = LockOf(lock);
  if (l->held.load(std::memory_order_relaxed) != 0 &&
      l->owner.load(std::memory_order_relaxed) == ThisThread())
    verifier::Report("spin lock acquired again by the thread that holds it");
  while (l->held.exchange(1, std::memory_order_acquire) != 0) {
    while (l->held.load(std::memory_order_relaxed) != 0)
      std::this_thread::yield();
  }
  l->owner.store(ThisThread(), std::memory_order_relaxed);
  return verifier::Raise(kDispatchLevel);
}

void SimKernel::ReleaseSpinLock(kernel::SpinLock* lock, kernel::Irql previous) {
  LockState* l = LockOf(lock);
  if (l->held.load(std::memory_order_relaxed) == 0 ||
      l->owner.load(std::memory_order_relaxed) != ThisThread())
    verifier::Report("spin lock released that this thread does not hold");
  if (verifier::CurrentIrql() != kDispatchLevel || previous > kDispatchLevel)
    verifier::Report("spin lock released with a wrong level");
  l->owner.store(0, std::memory_order_relaxed);
  l->held.store(0, std::memory_order_release);
  verifier::Lower(previous);
}

void SimKernel::InitializeEvent(kernel::Event* event, bool notification,
                                bool signalled) {
  new (event->opaque) EventState{{signalled ? 1u : 0u}, notification};
}

void SimKernel::SetEvent(kernel::Event* event) {
  verifier::RequireAtMost(kDispatchLevel, "KeSetEvent");
  EventState* e = StateOf(event);
  e->signalled.store(1, std::memory_order_release);
  e->signalled.notify_all();
}

void SimKernel::ClearEvent(kernel::Event* event) {
  verifier::RequireAtMost(kDispatchLevel, "KeClearEvent");
  StateOf(event)->signalled.store(0, std::memory_order_release);
}

void SimKernel::WaitForEvent(kernel::Event* event) {
  verifier::RequireAtMost(kApcLevel, "KeWaitForSingleObject without time-out");
  EventState* e = StateOf(event);
  for (;;) {
    if (e->notification) {
      if (e->signalled.load(std::memory_order_acquire) != 0) return;
    } else {
      uint32_t expected = 1;
      if (e->signalled.compare_exchange_strong(expected, 0,
                                               std::memory_order_acq_rel))
        return;
    }
    e->signalled.wait(0, std::memory_order_acquire);
  }
}

NtStatus SimKernel::CreateThread(kernel::ThreadRoutine routine, void* context,
                                 kernel::Thread** thread) {
  verifier::RequireAtMost(kPassiveLevel, "PsCreateSystemThread");
  auto state = std::make_shared<kernel::ThreadState>();
  std::thread t([routine, context, state] {
    {
      verifier::LevelScope passive(kPassiveLevel);
      verifier::RoutineScope scope(
          {RoutineKind::kSystemThread, reinterpret_cast<const void*>(routine)});
      routine(context);
      if (verifier::CurrentIrql() != kPassiveLevel)
        verifier::Report("system thread returned above PASSIVE_LEVEL");
    }
    std::lock_guard lock(state->mutex);
    state->done = true;
    state->ended.notify_all();
  });
  {
    std::lock_guard lock(state->mutex);
    state->id = t.get_id();
  }
  // Detached: a thread nobody waits for (a camera never removed) leaves
  // nothing behind when the process ends.
  t.detach();
  *thread = new kernel::Thread{state};
  ++thread_references_;
  return kStatusSuccess;
}

void SimKernel::WaitForThread(kernel::Thread* thread) {
  verifier::RequireAtMost(kApcLevel, "KeWaitForSingleObject on a thread");
  kernel::ThreadState& s = *thread->state;
  std::unique_lock lock(s.mutex);
  if (s.id == std::this_thread::get_id()) return;
  s.ended.wait(lock, [&] { return s.done; });
}

void SimKernel::DereferenceThread(kernel::Thread* thread) {
  verifier::RequireAtMost(kDispatchLevel, "ObDereferenceObject");
  --thread_references_;
  delete thread;
}

// The simulated clock: VKCAM_SLEEP_SCALE (e.g. 0.01) shortens the driver's
// waits as it shortens the host's Sleep, so retries stay quick in tests; 0
// (fuzzing) leaves only a yield, so the order of events stays possible.
void SimKernel::Delay(uint32_t milliseconds) {
  verifier::RequireAtMost(kApcLevel, "KeDelayExecutionThread");
  static const double scale = [] {
    const char* v = std::getenv("VKCAM_SLEEP_SCALE");
    if (v == nullptr) return 1.0;
    char* end = nullptr;
    const double s = std::strtod(v, &end);
    return end != v && s >= 0 && s <= 1 ? s : 1.0;
  }();
  const auto wait = std::chrono::microseconds(
      static_cast<int64_t>(milliseconds * 1000.0 * scale));
  if (wait.count() == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(wait);
}

}  // namespace vk::sim
