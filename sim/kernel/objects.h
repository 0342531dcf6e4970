// The simulated kernel's objects behind KernelPort's opaque types.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/kernel_port.h"
#include "sim/usb/mdl.h"

namespace vk::sim {
class SimKernel;
class UsbBusDevice;
}  // namespace vk::sim

namespace vk::kernel {

struct DriverObject {
  sim::SimKernel* kernel = nullptr;
  std::u16string name;
  DispatchRoutine dispatch[kIrpMjMaximum + 1] = {};
  AddDeviceRoutine add_device = nullptr;
  UnloadRoutine unload = nullptr;
  void* context = nullptr;
};

struct DeviceObject {
  sim::SimKernel* kernel = nullptr;
  DriverObject* driver = nullptr;    // null for the bus's own devices
  sim::UsbBusDevice* bus = nullptr;  // set for the bus's devices (PDOs)
  std::u16string name;
  std::vector<uint8_t> extension;
  uint32_t flags = kDoDeviceInitializing;
  int8_t stack_size = 1;
  DeviceObject* attached = nullptr;     // the device above in the stack
  DeviceObject* attached_to = nullptr;  // the device below
  std::atomic<int32_t> device_power_state{kPowerDeviceD0};
  int open_files = 0;  // file objects that keep the device alive
  // Requests that reached the device's dispatch and have not completed
  // back past it, nor been passed on in its stack location.
  std::atomic<int> held_requests{0};
  bool deleted = false;  // IoDeleteDevice ran; freed with its last file
};

struct FileObject {
  DeviceObject* device = nullptr;
  void* context = nullptr;
};

// The simulated DEVICE_CAPABILITIES: only what the driver looks at.
struct DeviceCapabilities {
  uint16_t size = 64;
  uint16_t version = 1;
  bool surprise_removal_ok = false;
  bool removable = true;
};

struct IrpLocation {
  uint8_t major = 0;
  uint8_t minor = 0;
  bool pending = false;
  DeviceObject* device = nullptr;
  FileObject* file = nullptr;
  uint32_t control_code = 0;
  uint32_t input_length = 0;
  uint32_t output_length = 0;
  uint32_t length = 0;
  PowerType power_type = PowerType::kSystem;
  int32_t power_state = 0;
  void* argument1 = nullptr;
  CompletionRoutine completion = nullptr;
  void* completion_context = nullptr;
};

struct Irp {
  std::vector<IrpLocation> stack;
  int current = 0;  // stack.size() until first sent down
  IoStatus io = {kStatusSuccess, 0};
  bool pending_returned = false;
  std::atomic<bool> cancel{false};
  std::atomic<CancelRoutine> cancel_routine{nullptr};
  void* system_buffer = nullptr;
  Mdl* mdl = nullptr;
  // The caller's output (Irp->UserBuffer), and the thread that issued the
  // request: the only context in which its pages can be probed.
  void* user_buffer = nullptr;
  std::thread::id issuer;
  // Caller's pages the driver locked again for writing and has not unlocked.
  std::atomic<int> write_locks{0};
  // The originator's part, run once the last completion routine is done:
  // either an event and status block (synchronous internal requests), or a
  // function (requests of the I/O, plug-and-play and power managers).
  Event* user_event = nullptr;
  IoStatus* user_status = nullptr;
  std::function<void(Irp*)> on_complete;
  bool free_on_complete = false;
  // A request of the I/O or plug-and-play manager: its final part runs at
  // passive level, as the APC that ends a request on Windows does.
  bool user_request = false;
  // Set from IoCompleteRequest until a completion routine takes the request
  // back (STATUS_MORE_PROCESSING_REQUIRED) or it is sent down again.
  bool completed = false;
  Irql cancel_irql = 0;  // the level IoCancelIrp came from
};

struct WorkItem {
  DeviceObject* device = nullptr;
  std::atomic<bool> queued{false};
};

// A system thread runs detached; waiting for it waits for its routine to
// return, which the state shared with the thread records.
struct ThreadState {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread::id id;
};
struct Thread {
  std::shared_ptr<ThreadState> state;
};

struct RegistryKey {
  std::string path;  // lower-case UTF-8
};

}  // namespace vk::kernel
