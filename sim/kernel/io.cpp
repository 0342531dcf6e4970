// Requests: stack locations, passing down, completion routines, the
// originator's completion, cancellation, and power requests.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/control_codes.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/kernel/usb_bus.h"
#include "sim/kernel/verifier.h"

namespace vk::sim {
namespace {

[[noreturn]] void Bug(const char* what) {
  std::fprintf(stderr, "simkernel: %s\n", what);
  std::abort();
}

kernel::IrpLocation& Current(kernel::Irp* irp) {
  if (irp->current < 0 || irp->current >= static_cast<int>(irp->stack.size()))
    Bug("no current stack location");
  return irp->stack[irp->current];
}

kernel::IrpLocation& Next(kernel::Irp* irp) {
  if (irp->current < 1) Bug("no next stack location");
  return irp->stack[irp->current - 1];
}

}  // namespace

kernel::Irp* SimKernel::NewIrp(int8_t stack_size) {
  return NewIrpFor(stack_size, false);
}

kernel::Irp* SimKernel::NewIrpFor(int8_t stack_size, bool driver) {
  void* block = nullptr;
  {
    std::lock_guard lock(pool_mutex_);
    block = std::malloc(sizeof(kernel::Irp));
    live_[block] = {sizeof(kernel::Irp), driver};
    irps_.insert(static_cast<kernel::Irp*>(block));
  }
  auto* irp = new (block) kernel::Irp;
  InitializeIrp(irp, stack_size);
  return irp;
}

kernel::Irp* SimKernel::AllocateIrp(int8_t stack_size) {
  verifier::RequireAtMost(kDispatchLevel, "IoAllocateIrp");
  {
    std::lock_guard lock(pool_mutex_);
    if (ShouldFail()) return nullptr;
  }
  return NewIrpFor(stack_size, true);
}

void SimKernel::InitializeIrp(kernel::Irp* irp, int8_t stack_size) {
  irp->stack.assign(static_cast<size_t>(stack_size), kernel::IrpLocation{});
  irp->current = stack_size;
  irp->io = {kStatusSuccess, 0};
  irp->pending_returned = false;
  irp->cancel = false;
  irp->cancel_routine = nullptr;
  irp->completed = false;
}

void SimKernel::FreeIrp(kernel::Irp* irp) {
  verifier::RequireAtMost(kDispatchLevel, "IoFreeIrp");
  {
    std::lock_guard lock(pool_mutex_);
    if (irps_.erase(irp) == 0) {
      verifier::Report(
          "IoFreeIrp of a request that does not exist (freed twice?)");
      return;
    }
  }
  irp->~Irp();
  FreePool(irp);
}

bool SimKernel::IsLiveIrp(kernel::Irp* irp) const {
  std::lock_guard lock(pool_mutex_);
  return irps_.count(irp) != 0;
}

int8_t SimKernel::StackSize(kernel::DeviceObject* device) {
  return device->stack_size;
}

kernel::Irp* SimKernel::BuildInternalRequest(uint32_t code,
                                             kernel::DeviceObject* target,
                                             void* argument1,
                                             kernel::Event* event,
                                             kernel::IoStatus* status) {
  verifier::RequireAtMost(kPassiveLevel, "IoBuildDeviceIoControlRequest");
  kernel::Irp* irp = AllocateIrp(target->stack_size);
  if (irp == nullptr) return nullptr;
  kernel::IrpLocation& next = Next(irp);
  next.major = kernel::kIrpMjInternalDeviceControl;
  next.control_code = code;
  next.argument1 = argument1;
  irp->user_event = event;
  irp->user_status = status;
  irp->free_on_complete = true;
  return irp;
}

kernel::StackLocation SimKernel::CurrentStack(kernel::Irp* irp) {
  const kernel::IrpLocation& l = Current(irp);
  return {l.major,        l.minor,        l.device,        l.file,
          l.control_code, l.input_length, l.output_length, l.length,
          l.power_type,   l.power_state,  l.argument1};
}

void* SimKernel::SystemBuffer(kernel::Irp* irp) { return irp->system_buffer; }
kernel::Mdl* SimKernel::RequestMdl(kernel::Irp* irp) { return irp->mdl; }

void SimKernel::SetFileContext(kernel::FileObject* file, void* context) {
  file->context = context;
}
void* SimKernel::FileContext(kernel::FileObject* file) { return file->context; }

void SimKernel::SetStatus(kernel::Irp* irp, NtStatus status,
                          uintptr_t information) {
  irp->io = {status, information};
}

kernel::IoStatus SimKernel::Status(kernel::Irp* irp) { return irp->io; }

void SimKernel::MarkPending(kernel::Irp* irp) {
  Current(irp).pending = true;
  verifier::NoteMarkedPending(irp, irp->current);
}

bool SimKernel::PendingReturned(kernel::Irp* irp) {
  return irp->pending_returned;
}

kernel::CancelRoutine SimKernel::ExchangeCancelRoutine(
    kernel::Irp* irp, kernel::CancelRoutine routine) {
  return irp->cancel_routine.exchange(routine);
}

bool SimKernel::CancelRequest(kernel::Irp* irp) {
  verifier::RequireAtMost(kDispatchLevel, "IoCancelIrp");
  // IoAcquireCancelSpinLock: dispatch level until the routine releases it.
  cancel_mutex_.lock();
  const kernel::Irql previous = verifier::Raise(kDispatchLevel);
  irp->cancel = true;
  const kernel::CancelRoutine routine = irp->cancel_routine.exchange(nullptr);
  if (routine == nullptr) {
    cancel_mutex_.unlock();
    verifier::Lower(previous);
    return false;
  }
  irp->cancel_irql = previous;
  {
    verifier::RoutineScope scope(
        {RoutineKind::kCancel, reinterpret_cast<const void*>(routine), irp});
    routine(Current(irp).device, irp);
    if (verifier::CurrentIrql() != previous)
      verifier::Report(
          "cancel routine returned without releasing the cancel spin lock");
  }
  return true;
}

void SimKernel::ReleaseCancelLock(kernel::Irp* irp) {
  ReleaseCancelLockAt(irp->cancel_irql);
}

void SimKernel::ReleaseCancelLockAt(kernel::Irql level) {
  cancel_mutex_.unlock();
  verifier::Lower(level);
}

bool SimKernel::IsCancelled(kernel::Irp* irp) { return irp->cancel; }

void SimKernel::CompleteFromBus(kernel::Irp* irp, NtStatus status,
                                uintptr_t information) {
  // The host controller's DPC completes transfers at dispatch level.
  const kernel::Irql previous = verifier::Raise(kDispatchLevel);
  {
    // A cancel routine running now still sees the request alive.
    std::lock_guard lock(cancel_mutex_);
    irp->cancel_routine.exchange(nullptr);
  }
  SetStatus(irp, status, information);
  CompleteRequest(irp);
  verifier::Lower(previous);
}

void SimKernel::CopyStackToNext(kernel::Irp* irp) {
  kernel::IrpLocation copy = Current(irp);
  copy.completion = nullptr;
  copy.completion_context = nullptr;
  copy.pending = false;
  Next(irp) = copy;
}

void SimKernel::SkipStack(kernel::Irp* irp) { ++irp->current; }

void SimKernel::SetCompletion(kernel::Irp* irp,
                              kernel::CompletionRoutine routine,
                              void* context) {
  kernel::IrpLocation& next = Next(irp);
  next.completion = routine;
  next.completion_context = context;
}

void SimKernel::SetNextInternalRequest(kernel::Irp* irp, uint32_t code,
                                       void* urb) {
  kernel::IrpLocation& next = Next(irp);
  next.major = kernel::kIrpMjInternalDeviceControl;
  next.minor = 0;
  next.control_code = code;
  next.argument1 = urb;
}

NtStatus SimKernel::CallDriver(kernel::DeviceObject* device, kernel::Irp* irp) {
  verifier::RequireAtMost(kDispatchLevel, "IoCallDriver");
  if (irp->current < 1) {
    verifier::Report("IoCallDriver with no stack location left");
    return kStatusInvalidParameter;
  }
  --irp->current;
  irp->completed = false;
  kernel::IrpLocation& l = irp->stack[irp->current];
  // A skipped location passes from the device above to this one.
  if (l.device != nullptr && l.device->driver != nullptr)
    --l.device->held_requests;
  l.device = device;
  if (device->driver != nullptr) ++device->held_requests;
  const int passing =
      verifier::PassingDown(irp, irp->current, l.completion != nullptr);
  const NtStatus status = Dispatch(device, irp);
  verifier::NotePassedDown(passing, status);
  return status;
}

// The dispatch routine of `device` in a frame of its own, and the rules of
// what it returns.
NtStatus SimKernel::Dispatch(kernel::DeviceObject* device, kernel::Irp* irp) {
  const uint8_t major = irp->stack[irp->current].major;
  kernel::DispatchRoutine routine =
      device->bus != nullptr || major > kernel::kIrpMjMaximum
          ? nullptr
          : device->driver->dispatch[major];
  verifier::RoutineScope scope({RoutineKind::kDispatch,
                                reinterpret_cast<const void*>(routine), irp,
                                irp->current});
  NtStatus status;
  if (device->bus != nullptr) {
    status = device->bus->Dispatch(device, irp);
  } else if (routine == nullptr) {
    SetStatus(irp, kStatusInvalidDeviceRequest, 0);
    CompleteRequest(irp);
    status = kStatusInvalidDeviceRequest;
  } else {
    status = routine(device, irp);
  }
  CheckDispatchResult(scope.frame(), status);
  return status;
}

void SimKernel::CheckDispatchResult(const RoutineFrame& frame,
                                    NtStatus status) {
  char text[160];
  if (status == kStatusPending && !frame.marked_pending) {
    verifier::Report(
        "dispatch returned STATUS_PENDING without marking the request pending");
  } else if (frame.marked_pending && status != kStatusPending) {
    std::snprintf(text, sizeof(text),
                  "dispatch marked the request pending and returned 0x%08X",
                  static_cast<uint32_t>(status));
    verifier::Report(text);
  } else if (!frame.marked_pending && frame.passed_down &&
             status != frame.lower_status) {
    std::snprintf(text, sizeof(text),
                  "dispatch passed the request down without a completion "
                  "routine and returned 0x%08X, not the lower driver's 0x%08X",
                  static_cast<uint32_t>(status),
                  static_cast<uint32_t>(frame.lower_status));
    verifier::Report(text);
  }
}

void SimKernel::CompleteRequest(kernel::Irp* irp) {
  verifier::RequireAtMost(kDispatchLevel, "IoCompleteRequest");
  if (!IsLiveIrp(irp)) {
    verifier::Report(
        "IoCompleteRequest of a request already freed (completed twice?)");
    return;
  }
  if (irp->completed) verifier::Report("request completed twice");
  if (irp->cancel_routine.load() != nullptr)
    verifier::Report("request completed with its cancel routine still set");
  if (irp->write_locks.load() != 0)
    verifier::Report(
        "request completed with the caller's pages still locked for writing");
  irp->completed = true;
  const int n = static_cast<int>(irp->stack.size());
  for (int loc = irp->current; loc < n; ++loc) {
    kernel::IrpLocation& l = irp->stack[loc];
    irp->pending_returned = l.pending;
    irp->current = loc + 1;
    if (l.device != nullptr && l.device->driver != nullptr) {
      --l.device->held_requests;
      l.device = nullptr;
    }
    if (l.completion != nullptr) {
      kernel::DeviceObject* caller =
          loc + 1 < n ? irp->stack[loc + 1].device : nullptr;
      const kernel::CompletionRoutine routine = l.completion;
      l.completion = nullptr;
      // The routine owns the request while it runs.
      irp->completed = false;
      NtStatus result;
      {
        verifier::RoutineScope scope({RoutineKind::kCompletion,
                                      reinterpret_cast<const void*>(routine),
                                      irp});
        const int depth = verifier::EnterCompletion();
        if (depth > kMaxCompletionDepth) {
          char text[120];
          std::snprintf(
              text, sizeof(text),
              "completion routine entered %d levels deep on one thread", depth);
          verifier::Report(text);
        }
        result = routine(caller, irp, l.completion_context);
        verifier::LeaveCompletion();
      }
      if (result == kStatusMoreProcessingRequired) return;
      if (!IsLiveIrp(irp) || irp->completed) {
        verifier::Report(
            "completion routine completed the request and did not return "
            "STATUS_MORE_PROCESSING_REQUIRED");
        return;
      }
      irp->completed = true;
    } else if (irp->pending_returned && loc + 1 < n) {
      irp->stack[loc + 1].pending = true;
    }
  }
  FinishRequest(irp);
}

// The originator's part: status block and event, or the manager's function.
void SimKernel::FinishRequest(kernel::Irp* irp) {
  kernel::Event* event = irp->user_event;
  if (irp->user_status != nullptr) *irp->user_status = irp->io;
  std::function<void(kernel::Irp*)> done = std::move(irp->on_complete);
  const bool free = irp->free_on_complete;
  if (done && irp->user_request) {
    verifier::LevelScope passive(kPassiveLevel);
    done(irp);
  } else if (done) {
    done(irp);
  }
  if (free) FreeIrp(irp);
  if (event != nullptr) SetEvent(event);
}

uint16_t SimKernel::CapabilitiesVersion(kernel::Irp* irp) {
  auto* caps = static_cast<kernel::DeviceCapabilities*>(Current(irp).argument1);
  return caps ? caps->version : 0;
}

void SimKernel::SetSurpriseRemovalOk(kernel::Irp* irp) {
  auto* caps = static_cast<kernel::DeviceCapabilities*>(Current(irp).argument1);
  if (caps) caps->surprise_removal_ok = true;
}

void SimKernel::StartNextPowerIrp(kernel::Irp*) {
  verifier::RequireAtMost(kDispatchLevel, "PoStartNextPowerIrp");
}

NtStatus SimKernel::PoCallDriver(kernel::DeviceObject* device,
                                 kernel::Irp* irp) {
  verifier::RequireAtMost(kDispatchLevel, "PoCallDriver");
  return CallDriver(device, irp);
}

NtStatus SimKernel::RequestPowerIrp(kernel::DeviceObject* target, uint8_t minor,
                                    int32_t device_state,
                                    kernel::PowerCompletionRoutine routine,
                                    void* context) {
  verifier::RequireAtMost(kDispatchLevel, "PoRequestPowerIrp");
  kernel::DeviceObject* top = TopOfStack(target);
  kernel::Irp* irp = NewIrp(top->stack_size);
  kernel::IrpLocation& next = Next(irp);
  next.major = kernel::kIrpMjPower;
  next.minor = minor;
  next.power_type = kernel::PowerType::kDevice;
  next.power_state = device_state;
  irp->free_on_complete = true;
  irp->on_complete = [target, minor, device_state, routine,
                      context](kernel::Irp* done) {
    if (routine == nullptr) return;
    verifier::RoutineScope scope({RoutineKind::kPowerCompletion,
                                  reinterpret_cast<const void*>(routine)});
    routine(target, minor, device_state, context, done->io);
  };
  CallDriver(top, irp);
  return kStatusPending;
}

void SimKernel::SetPowerState(kernel::DeviceObject* device,
                              kernel::PowerType type, int32_t state) {
  verifier::RequireAtMost(kDispatchLevel, "PoSetPowerState");
  if (type == kernel::PowerType::kDevice) device->device_power_state = state;
}

}  // namespace vk::sim
