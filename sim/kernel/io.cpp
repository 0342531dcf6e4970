// Requests: stack locations, passing down, completion routines, the
// originator's completion, cancellation, and power requests.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/control_codes.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/kernel/usb_bus.h"

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
  void* block = nullptr;
  {
    std::lock_guard lock(pool_mutex_);
    block = std::malloc(sizeof(kernel::Irp));
    live_[block] = sizeof(kernel::Irp);
  }
  auto* irp = new (block) kernel::Irp;
  InitializeIrp(irp, stack_size);
  return irp;
}

kernel::Irp* SimKernel::AllocateIrp(int8_t stack_size) {
  {
    std::lock_guard lock(pool_mutex_);
    if (ShouldFail()) return nullptr;
  }
  return NewIrp(stack_size);
}

void SimKernel::InitializeIrp(kernel::Irp* irp, int8_t stack_size) {
  irp->stack.assign(static_cast<size_t>(stack_size), kernel::IrpLocation{});
  irp->current = stack_size;
  irp->io = {kStatusSuccess, 0};
  irp->pending_returned = false;
  irp->cancel = false;
  irp->cancel_routine = nullptr;
}

void SimKernel::FreeIrp(kernel::Irp* irp) {
  irp->~Irp();
  FreePool(irp);
}

int8_t SimKernel::StackSize(kernel::DeviceObject* device) {
  return device->stack_size;
}

kernel::Irp* SimKernel::BuildInternalRequest(uint32_t code,
                                             kernel::DeviceObject* target,
                                             void* argument1,
                                             kernel::Event* event,
                                             kernel::IoStatus* status) {
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
  return {l.major,         l.minor,        l.device,        l.file,
          l.control_code,  l.input_length, l.output_length, l.length,
          l.power_type,    l.power_state,  l.argument1};
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

void SimKernel::MarkPending(kernel::Irp* irp) { Current(irp).pending = true; }

bool SimKernel::PendingReturned(kernel::Irp* irp) {
  return irp->pending_returned;
}

kernel::CancelRoutine SimKernel::ExchangeCancelRoutine(
    kernel::Irp* irp, kernel::CancelRoutine routine) {
  return irp->cancel_routine.exchange(routine);
}

bool SimKernel::CancelRequest(kernel::Irp* irp) {
  cancel_mutex_.lock();
  irp->cancel = true;
  const kernel::CancelRoutine routine = irp->cancel_routine.exchange(nullptr);
  if (routine == nullptr) {
    cancel_mutex_.unlock();
    return false;
  }
  // The routine releases the cancel lock (ReleaseCancelLock).
  routine(Current(irp).device, irp);
  return true;
}

void SimKernel::ReleaseCancelLock(kernel::Irp*) { cancel_mutex_.unlock(); }

bool SimKernel::IsCancelled(kernel::Irp* irp) { return irp->cancel; }

void SimKernel::CompleteFromBus(kernel::Irp* irp, NtStatus status,
                                uintptr_t information) {
  {
    // A cancel routine running now still sees the request alive.
    std::lock_guard lock(cancel_mutex_);
    irp->cancel_routine.exchange(nullptr);
  }
  SetStatus(irp, status, information);
  CompleteRequest(irp);
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
  if (irp->current < 1) Bug("request sent down with no stack location left");
  --irp->current;
  kernel::IrpLocation& l = irp->stack[irp->current];
  l.device = device;
  if (device->bus != nullptr) return device->bus->Dispatch(device, irp);
  kernel::DispatchRoutine routine =
      l.major <= kernel::kIrpMjMaximum ? device->driver->dispatch[l.major]
                                       : nullptr;
  if (routine == nullptr) {
    SetStatus(irp, kStatusInvalidDeviceRequest, 0);
    CompleteRequest(irp);
    return kStatusInvalidDeviceRequest;
  }
  return routine(device, irp);
}

void SimKernel::CompleteRequest(kernel::Irp* irp) {
  const int n = static_cast<int>(irp->stack.size());
  for (int loc = irp->current; loc < n; ++loc) {
    kernel::IrpLocation& l = irp->stack[loc];
    irp->pending_returned = l.pending;
    irp->current = loc + 1;
    if (l.completion != nullptr) {
      kernel::DeviceObject* caller = loc + 1 < n ? irp->stack[loc + 1].device
                                                 : nullptr;
      const kernel::CompletionRoutine routine = l.completion;
      l.completion = nullptr;
      if (routine(caller, irp, l.completion_context) ==
          kStatusMoreProcessingRequired)
        return;
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
  if (done) done(irp);
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

void SimKernel::StartNextPowerIrp(kernel::Irp*) {}

NtStatus SimKernel::PoCallDriver(kernel::DeviceObject* device,
                                 kernel::Irp* irp) {
  return CallDriver(device, irp);
}

NtStatus SimKernel::RequestPowerIrp(kernel::DeviceObject* target, uint8_t minor,
                                    int32_t device_state,
                                    kernel::PowerCompletionRoutine routine,
                                    void* context) {
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
    if (routine) routine(target, minor, device_state, context, done->io);
  };
  CallDriver(top, irp);
  return kStatusPending;
}

void SimKernel::SetPowerState(kernel::DeviceObject* device,
                              kernel::PowerType type, int32_t state) {
  if (type == kernel::PowerType::kDevice) device->device_power_state = state;
}

}  // namespace vk::sim
