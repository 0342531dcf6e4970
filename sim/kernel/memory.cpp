// Pool with accounting and failure injection, and memory descriptor lists.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VKCAM_ASAN 1
#endif
#endif
#if !defined(VKCAM_ASAN) && defined(__SANITIZE_ADDRESS__)
#define VKCAM_ASAN 1
#endif
#if VKCAM_ASAN
#include <sanitizer/asan_interface.h>
#endif

#include "sim/kernel/sim_kernel.h"

namespace vk::sim {
namespace {

constexpr uint8_t kFreedPoison = 0xDF;
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = size_t{64} << 20;
constexpr size_t kPoisonPageBytes = 4096;

// Under the address sanitizer a read of quarantined pool is reported at
// once; otherwise the poison shows on the block's release.
void PoisonForSanitizer(void* block, size_t bytes) {
#if VKCAM_ASAN
  __asan_poison_memory_region(block, bytes);
#else
  (void)block;
  (void)bytes;
#endif
}
void UnpoisonForSanitizer(void* block, size_t bytes) {
#if VKCAM_ASAN
  __asan_unpoison_memory_region(block, bytes);
#else
  (void)block;
  (void)bytes;
#endif
}

}  // namespace

bool SimKernel::ShouldFail() {
  // Called with pool_mutex_ held.
  const bool fail =
      fail_at_ >= 0 && static_cast<int64_t>(allocations_) == fail_at_;
  ++allocations_;
  if (fail) fail_at_ = -1;
  return fail;
}

void SimKernel::FailAllocationAfter(uint64_t n) {
  std::lock_guard lock(pool_mutex_);
  fail_at_ = static_cast<int64_t>(allocations_ + n);
}

void SimKernel::ClearAllocationFailure() {
  std::lock_guard lock(pool_mutex_);
  fail_at_ = -1;
}

PoolStats SimKernel::Pool() const {
  std::lock_guard lock(pool_mutex_);
  PoolStats s;
  s.live_blocks = live_.size();
  for (const auto& [p, b] : live_) s.live_bytes += b.bytes;
  s.allocations = allocations_;
  return s;
}

void* SimKernel::Allocate(size_t bytes, bool driver) {
  std::lock_guard lock(pool_mutex_);
  if (ShouldFail()) return nullptr;
  void* p = std::malloc(bytes ? bytes : 1);
  if (p == nullptr) return nullptr;
  // Fresh pool holds garbage, not zeros: the driver must zero what it uses.
  std::memset(p, 0xCD, bytes);
  live_[p] = {bytes, driver};
  return p;
}

void* SimKernel::AllocateAccounted(size_t bytes) {
  if (bytes == 0) verifier::Report("zero-byte pool allocation");
  return Allocate(bytes, true);
}

void* SimKernel::AllocateNonPaged(size_t bytes) {
  verifier::RequireAtMost(kDispatchLevel, "ExAllocatePool(NonPagedPool)");
  return AllocateAccounted(bytes);
}

void* SimKernel::AllocatePaged(size_t bytes) {
  verifier::RequireAtMost(kApcLevel, "ExAllocatePool(PagedPool)");
  return AllocateAccounted(bytes);
}

void SimKernel::FreePool(void* block) {
  verifier::RequireAtMost(kDispatchLevel, "ExFreePool");
  std::lock_guard lock(pool_mutex_);
  auto it = live_.find(block);
  if (it == live_.end()) {
    verifier::Report(
        "ExFreePool of a block that is not allocated (freed twice?)");
    return;
  }
  const size_t bytes = it->second.bytes;
  live_.erase(it);
  Quarantine(block, bytes);
}

void SimKernel::Quarantine(void* block, size_t bytes) {
  std::memset(block, kFreedPoison, bytes);
  PoisonForSanitizer(block, bytes);
  quarantine_.emplace_back(block, bytes);
  quarantine_bytes_ += bytes;
  while (quarantine_.size() > kQuarantineBlocks ||
         quarantine_bytes_ > kQuarantineBytes) {
    const auto [oldest, size] = quarantine_.front();
    quarantine_.pop_front();
    quarantine_bytes_ -= size;
    ReleaseQuarantined(oldest, size);
  }
}

// The block leaves the quarantine: its poison must be as it was left.
void SimKernel::ReleaseQuarantined(void* block, size_t bytes) {
  UnpoisonForSanitizer(block, bytes);
  static const auto* const kPoisonPage = [] {
    auto* page = new uint8_t[kPoisonPageBytes];
    std::memset(page, kFreedPoison, kPoisonPageBytes);
    return page;
  }();
  const auto* p = static_cast<const uint8_t*>(block);
  for (size_t at = 0; at < bytes; at += kPoisonPageBytes) {
    const size_t n = std::min(kPoisonPageBytes, bytes - at);
    if (std::memcmp(p + at, kPoisonPage, n) != 0) {
      verifier::Report("pool block written after it was freed");
      break;
    }
  }
  std::free(block);
}

kernel::Mdl* SimKernel::AllocateMdl(void* address, uint32_t length) {
  verifier::RequireAtMost(kDispatchLevel, "IoAllocateMdl");
  void* block = AllocateAccounted(sizeof(kernel::Mdl));
  if (block == nullptr) return nullptr;
  auto* mdl = new (block) kernel::Mdl;
  mdl->start_va = address;
  mdl->byte_count = length;
  return mdl;
}

void SimKernel::BuildPartialMdl(kernel::Mdl* source, kernel::Mdl* target,
                                void* address, uint32_t length) {
  // The partial MDL describes a range inside the source's pages.
  auto* start = static_cast<uint8_t*>(address);
  if (start < source->address() ||
      start + length > source->address() + source->byte_count) {
    std::fprintf(stderr, "simkernel: partial MDL outside its source\n");
    std::abort();
  }
  target->start_va = address;
  target->byte_offset = 0;
  target->byte_count = length;
  target->mapped_system_va = address;
}

void SimKernel::FreeMdl(kernel::Mdl* mdl) {
  {
    std::lock_guard lock(pool_mutex_);
    if (write_locks_.count(mdl) != 0)
      verifier::Report("IoFreeMdl of an MDL whose pages are still locked");
  }
  mdl->~Mdl();
  FreePool(mdl);
}

void* SimKernel::MdlVirtualAddress(kernel::Mdl* mdl) { return mdl->address(); }

uint32_t SimKernel::MdlByteCount(kernel::Mdl* mdl) { return mdl->byte_count; }

void* SimKernel::MapMdl(kernel::Mdl* mdl) {
  if (mdl->mapped_system_va == nullptr) mdl->mapped_system_va = mdl->address();
  return mdl->mapped_system_va;
}

NtStatus SimKernel::LockOutputForWriting(kernel::Irp* irp,
                                         kernel::Mdl** locked) {
  *locked = nullptr;
  verifier::RequireAtMost(kApcLevel, "MmProbeAndLockPages");
  // The caller's addresses mean something only in its own context.
  if (irp->issuer != std::this_thread::get_id() || !verifier::InDispatchOf(irp))
    verifier::Report(
        "MmProbeAndLockPages of a caller's buffer outside the dispatch "
        "routine of its request, on a thread other than the caller's");
  if (irp->mdl == nullptr || irp->user_buffer == nullptr)
    return kStatusInvalidParameter;
  kernel::Mdl* mdl = AllocateMdl(irp->user_buffer, irp->mdl->byte_count);
  if (mdl == nullptr) return kStatusInsufficientResources;
  {
    std::lock_guard lock(pool_mutex_);
    write_locks_[mdl] = irp;
  }
  ++irp->write_locks;
  *locked = mdl;
  return kStatusSuccess;
}

void SimKernel::UnlockOutput(kernel::Mdl* locked) {
  verifier::RequireAtMost(kDispatchLevel, "MmUnlockPages");
  kernel::Irp* irp = nullptr;
  {
    std::lock_guard lock(pool_mutex_);
    auto it = write_locks_.find(locked);
    if (it == write_locks_.end()) {
      verifier::Report("MmUnlockPages of an MDL that is not locked");
      return;
    }
    irp = it->second;
    write_locks_.erase(it);
  }
  --irp->write_locks;
  FreeMdl(locked);
}

}  // namespace vk::sim
