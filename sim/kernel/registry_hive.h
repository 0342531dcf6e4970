// Where the simulated kernel keeps its registry keys: in memory by default;
// the simulated machine of a host process keeps "\Registry\Machine" in the
// host registry's machine hive instead, so user mode sees what the kernel
// wrote.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vk::sim {

struct HiveValue {
  std::string name;  // as first written
  uint32_t type = 0;
  std::vector<uint8_t> data;  // REG_SZ as UTF-16LE, as the kernel writes it
};

struct HiveKey {
  std::string path;  // as first created, e.g. "\Registry\Machine\Software"
  bool is_volatile = false;
  std::map<std::string, HiveValue> values;  // by lower-case name
};

using HiveTree = std::map<std::string, HiveKey>;  // by lower-case path

class RegistryHive {
 public:
  virtual ~RegistryHive() = default;
  virtual void Read(const std::function<void(const HiveTree&)>& read) const = 0;
  // `change` returns whether it changed the tree; a change that fails
  // leaves the tree as it was.
  virtual void Modify(const std::function<bool(HiveTree&)>& change) = 0;
};

class MemoryHive final : public RegistryHive {
 public:
  void Read(const std::function<void(const HiveTree&)>& read) const override {
    std::lock_guard lock(mutex_);
    read(tree_);
  }
  void Modify(const std::function<bool(HiveTree&)>& change) override {
    std::lock_guard lock(mutex_);
    change(tree_);
  }

 private:
  mutable std::mutex mutex_;
  HiveTree tree_;
};

}  // namespace vk::sim
