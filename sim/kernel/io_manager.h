// The user-facing half of the simulated I/O manager: opening a device by its
// "\DosDevices\..." link, device-control, read and write requests built as
// Windows builds them for the control code's transfer method (buffered: one
// system buffer in and out; in-direct and out-direct: input in the system
// buffer, output described by an MDL over the caller's memory), cancellation
// of an outstanding request, and close once the last request has finished.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "sim/kernel/sim_kernel.h"

namespace vk::sim {

class IoManager;

// An open handle's file object and its outstanding requests.
class OpenFile {
 public:
  kernel::FileObject* file() { return &file_; }
  size_t Outstanding() const;

 private:
  friend class IoManager;
  kernel::FileObject file_;
  mutable std::recursive_mutex mutex_;
  std::set<kernel::Irp*> outstanding_;
  bool closing_ = false;
};

class IoManager {
 public:
  // Called exactly once per request, possibly before the call returns.
  using Completion = std::function<void(const kernel::IoStatus&)>;

  explicit IoManager(SimKernel& kernel) : kernel_(kernel) {}

  // IRP_MJ_CREATE on the device a link names. kStatusObjectNameNotFound
  // when there is none.
  NtStatus Open(const std::u16string& link, std::shared_ptr<OpenFile>* file);
  // Returns the dispatch routine's status (kStatusPending while the request
  // is outstanding). `request` receives the request for Cancel.
  NtStatus DeviceControl(OpenFile& file, uint32_t code, const void* in,
                         uint32_t in_length, void* out, uint32_t out_length,
                         Completion done, kernel::Irp** request = nullptr);
  NtStatus Read(OpenFile& file, bool write, void* buffer, uint32_t length,
                Completion done, kernel::Irp** request = nullptr);
  // Cancels `request` if it is still outstanding on `file` (all of the
  // file's requests when it is null). True when one was found.
  bool Cancel(OpenFile& file, kernel::Irp* request);
  // IRP_MJ_CLEANUP now; IRP_MJ_CLOSE now, or when the last outstanding
  // request finishes.
  void Close(const std::shared_ptr<OpenFile>& file);
  // Requests issued and not yet completed, over every file.
  size_t Outstanding() const;

 private:
  NtStatus Send(OpenFile& file, kernel::Irp* irp, kernel::DeviceObject* top,
                Completion done, kernel::Irp** request,
                std::function<void(kernel::Irp*)> finish);
  void SendClose(OpenFile& file);

  SimKernel& kernel_;
  mutable std::mutex count_mutex_;
  size_t outstanding_ = 0;
  std::mutex keep_mutex_;
  std::set<std::shared_ptr<OpenFile>> closing_files_;  // closes deferred
};

}  // namespace vk::sim
