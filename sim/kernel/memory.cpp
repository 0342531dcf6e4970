// Pool with accounting and failure injection, and memory descriptor lists.
#include <cstdlib>
#include <cstring>

#include "sim/kernel/sim_kernel.h"

namespace vk::sim {

bool SimKernel::ShouldFail() {
  // Called with pool_mutex_ held.
  const bool fail = fail_at_ >= 0 && static_cast<int64_t>(allocations_) == fail_at_;
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
  for (const auto& [p, n] : live_) s.live_bytes += n;
  s.allocations = allocations_;
  return s;
}

void* SimKernel::AllocateAccounted(size_t bytes) {
  std::lock_guard lock(pool_mutex_);
  if (ShouldFail()) return nullptr;
  void* p = std::malloc(bytes ? bytes : 1);
  if (p == nullptr) return nullptr;
  // Fresh pool holds garbage, not zeros: the driver must zero what it uses.
  std::memset(p, 0xCD, bytes);
  live_[p] = bytes;
  return p;
}

void* SimKernel::AllocateNonPaged(size_t bytes) {
  return AllocateAccounted(bytes);
}

void* SimKernel::AllocatePaged(size_t bytes) { return AllocateAccounted(bytes); }

void SimKernel::FreePool(void* block) {
  {
    std::lock_guard lock(pool_mutex_);
    if (live_.erase(block) == 0) {
      std::fprintf(stderr, "simkernel: FreePool of a block not in pool\n");
      std::abort();
    }
  }
  std::free(block);
}

kernel::Mdl* SimKernel::AllocateMdl(void* address, uint32_t length) {
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
  mdl->~Mdl();
  FreePool(mdl);
}

void* SimKernel::MdlVirtualAddress(kernel::Mdl* mdl) { return mdl->address(); }

uint32_t SimKernel::MdlByteCount(kernel::Mdl* mdl) { return mdl->byte_count; }

void* SimKernel::MapMdl(kernel::Mdl* mdl) {
  if (mdl->mapped_system_va == nullptr) mdl->mapped_system_va = mdl->address();
  return mdl->mapped_system_va;
}

}  // namespace vk::sim
