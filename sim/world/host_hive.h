// The simulated machine's kernel registry over the host registry: keys under
// "\Registry\Machine" are the host's HKEY_LOCAL_MACHINE keys (volatile ones
// live only as long as this process), so what the driver writes is what user
// mode reads with the registry calls. Strings are UTF-16 on the kernel side
// and UTF-8 on the host side, as Windows keeps them wide and hands out ANSI.
#pragma once

#include <mutex>

#include "sim/kernel/registry_hive.h"

namespace vk::world {

class HostMachineHive final : public sim::RegistryHive {
 public:
  void Read(const std::function<void(const sim::HiveTree&)>& read) const override;
  void Modify(const std::function<bool(sim::HiveTree&)>& change) override;

 private:
  // Keys outside "\Registry\Machine" stay in the kernel alone.
  mutable std::mutex others_mutex_;
  sim::HiveTree others_;
};

}  // namespace vk::world
