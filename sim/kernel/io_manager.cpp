#include "sim/kernel/io_manager.h"

#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "common/control_codes.h"

namespace vk::sim {
namespace {

// The pages of a METHOD_IN_DIRECT output as the driver sees them, and as
// they must still be when the request ends.
struct ReadOnlyShadow {
  ReadOnlyShadow(const void* out, uint32_t length)
      : pages(static_cast<const uint8_t*>(out),
              static_cast<const uint8_t*>(out) + length),
        original(pages) {}
  std::vector<uint8_t> pages;
  const std::vector<uint8_t> original;
};

kernel::IrpLocation& NextLocation(kernel::Irp* irp) {
  return irp->stack[irp->current - 1];
}

}  // namespace

size_t OpenFile::Outstanding() const {
  std::lock_guard lock(mutex_);
  return outstanding_.size();
}

size_t IoManager::Outstanding() const {
  std::lock_guard lock(count_mutex_);
  return outstanding_;
}

NtStatus IoManager::Open(const std::u16string& link,
                         std::shared_ptr<OpenFile>* file) {
  kernel::DeviceObject* device = kernel_.ResolveLink(link);
  if (device == nullptr) return kStatusObjectNameNotFound;
  auto opened = std::make_shared<OpenFile>();
  opened->file_.device = device;
  kernel_.ReferenceDevice(device);
  kernel::DeviceObject* top = kernel_.TopOfStack(device);
  kernel::Irp* irp = kernel_.NewIrp(top->stack_size);
  NextLocation(irp).major = kernel::kIrpMjCreate;
  NextLocation(irp).file = &opened->file_;
  std::promise<NtStatus> result;
  irp->free_on_complete = true;
  irp->user_request = true;
  irp->on_complete = [&result](kernel::Irp* i) {
    result.set_value(i->io.status);
  };
  kernel_.CallDriver(top, irp);
  const NtStatus status = result.get_future().get();
  if (!NtSuccess(status)) {
    kernel_.ReleaseDevice(device);
    return status;
  }
  *file = std::move(opened);
  return kStatusSuccess;
}

NtStatus IoManager::Send(OpenFile& file, kernel::Irp* irp,
                         kernel::DeviceObject* top, Completion done,
                         kernel::Irp** request,
                         std::function<void(kernel::Irp*)> finish) {
  {
    std::lock_guard lock(file.mutex_);
    file.outstanding_.insert(irp);
  }
  {
    std::lock_guard lock(count_mutex_);
    ++outstanding_;
  }
  if (request) *request = irp;
  OpenFile* f = &file;
  irp->free_on_complete = true;
  irp->user_request = true;
  irp->on_complete = [this, f, done = std::move(done),
                      finish = std::move(finish)](kernel::Irp* i) {
    if (finish) finish(i);
    bool close_now = false;
    {
      std::lock_guard lock(f->mutex_);
      f->outstanding_.erase(i);
      close_now = f->closing_ && f->outstanding_.empty();
    }
    {
      std::lock_guard lock(count_mutex_);
      --outstanding_;
    }
    const kernel::IoStatus io = i->io;
    if (done) done(io);
    if (close_now) SendClose(*f);
  };
  return kernel_.CallDriver(top, irp);
}

NtStatus IoManager::DeviceControl(OpenFile& file, uint32_t code, const void* in,
                                  uint32_t in_length, void* out,
                                  uint32_t out_length, Completion done,
                                  kernel::Irp** request) {
  kernel::DeviceObject* top = kernel_.TopOfStack(file.file_.device);
  kernel::Irp* irp = kernel_.NewIrp(top->stack_size);
  kernel::IrpLocation& next = NextLocation(irp);
  next.major = kernel::kIrpMjDeviceControl;
  next.control_code = code;
  next.input_length = in_length;
  next.output_length = out_length;
  next.file = &file.file_;
  const bool buffered = MethodOf(code) == TransferMethod::kBuffered ||
                        MethodOf(code) == TransferMethod::kNeither;
  const uint32_t system_size =
      buffered ? std::max(in_length, out_length) : in_length;
  if (system_size > 0) {
    irp->system_buffer = std::calloc(system_size, 1);
    if (in != nullptr && in_length > 0)
      std::memcpy(irp->system_buffer, in, in_length);
  }
  irp->issuer = std::this_thread::get_id();
  // In-direct output is locked for reading only: the driver is handed a
  // copy, and a write into it (by the driver or by the device on its
  // behalf) is found when the request ends. Out-direct output is the
  // caller's own pages.
  std::shared_ptr<ReadOnlyShadow> shadow;
  if (!buffered && out_length > 0 && out != nullptr) {
    irp->user_buffer = out;
    irp->mdl = new kernel::Mdl;
    irp->mdl->byte_count = out_length;
    if (MethodOf(code) == TransferMethod::kInDirect) {
      shadow = std::make_shared<ReadOnlyShadow>(out, out_length);
      irp->mdl->start_va = shadow->pages.data();
    } else {
      irp->mdl->start_va = out;
    }
  }
  return Send(file, irp, top, std::move(done), request,
              [buffered, out, out_length, shadow](kernel::Irp* i) {
                // Buffered output goes back to the caller: the bytes the
                // driver reported, never more than the caller's buffer.
                if (buffered && out != nullptr && NtSuccess(i->io.status)) {
                  const size_t n =
                      std::min<uintptr_t>(i->io.information, out_length);
                  if (n > 0) std::memcpy(out, i->system_buffer, n);
                }
                if (shadow && shadow->pages != shadow->original)
                  verifier::Report(
                      "a write into a buffer described as read-only (the "
                      "output of a METHOD_IN_DIRECT request)");
                std::free(i->system_buffer);
                i->system_buffer = nullptr;
                delete i->mdl;
                i->mdl = nullptr;
              });
}

NtStatus IoManager::Read(OpenFile& file, bool write, void* buffer,
                         uint32_t length, Completion done,
                         kernel::Irp** request) {
  kernel::DeviceObject* top = kernel_.TopOfStack(file.file_.device);
  kernel::Irp* irp = kernel_.NewIrp(top->stack_size);
  kernel::IrpLocation& next = NextLocation(irp);
  next.major = write ? kernel::kIrpMjWrite : kernel::kIrpMjRead;
  next.length = length;
  next.file = &file.file_;
  irp->issuer = std::this_thread::get_id();
  // The device does direct I/O: the caller's pages, described by an MDL.
  if (length > 0 && buffer != nullptr) {
    irp->user_buffer = buffer;
    irp->mdl = new kernel::Mdl;
    irp->mdl->start_va = buffer;
    irp->mdl->byte_count = length;
  }
  return Send(file, irp, top, std::move(done), request, [](kernel::Irp* i) {
    delete i->mdl;
    i->mdl = nullptr;
  });
}

bool IoManager::Cancel(OpenFile& file, kernel::Irp* request) {
  // The file's lock keeps each request alive while it is cancelled; a
  // completion that runs meanwhile (here or on another thread) waits for it.
  std::lock_guard lock(file.mutex_);
  if (request != nullptr) {
    if (file.outstanding_.count(request) == 0) return false;
    kernel_.CancelRequest(request);
    return true;
  }
  const std::set<kernel::Irp*> all = file.outstanding_;
  for (kernel::Irp* irp : all) {
    if (file.outstanding_.count(irp)) kernel_.CancelRequest(irp);
  }
  return !all.empty();
}

void IoManager::Close(const std::shared_ptr<OpenFile>& file) {
  // The handle goes at once (IRP_MJ_CLEANUP); the file object, and with it
  // IRP_MJ_CLOSE, when its last request has finished.
  {
    kernel::DeviceObject* top = kernel_.TopOfStack(file->file_.device);
    kernel::Irp* irp = kernel_.NewIrp(top->stack_size);
    NextLocation(irp).major = kernel::kIrpMjCleanup;
    NextLocation(irp).file = &file->file_;
    irp->free_on_complete = true;
    irp->user_request = true;
    kernel_.CallDriver(top, irp);
  }
  bool now = false;
  {
    std::lock_guard lock(file->mutex_);
    file->closing_ = true;
    now = file->outstanding_.empty();
  }
  // Keep the file alive until the deferred close has run.
  if (now) {
    SendClose(*file);
  } else {
    std::lock_guard lock(keep_mutex_);
    closing_files_.insert(file);
  }
}

void IoManager::SendClose(OpenFile& file) {
  kernel::DeviceObject* device = file.file_.device;
  kernel::DeviceObject* top = kernel_.TopOfStack(device);
  kernel::Irp* irp = kernel_.NewIrp(top->stack_size);
  NextLocation(irp).major = kernel::kIrpMjClose;
  NextLocation(irp).file = &file.file_;
  irp->free_on_complete = true;
  irp->user_request = true;
  kernel_.CallDriver(top, irp);
  kernel_.ReleaseDevice(device);
  std::lock_guard lock(keep_mutex_);
  for (auto it = closing_files_.begin(); it != closing_files_.end(); ++it) {
    if (it->get() == &file) {
      closing_files_.erase(it);
      break;
    }
  }
}

}  // namespace vk::sim
