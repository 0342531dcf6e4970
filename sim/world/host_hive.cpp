#include "sim/world/host_hive.h"

#include "platform/host/host.h"
#include "platform/host/registry_store.h"
#include "sim/kernel/sim_kernel.h"

namespace vk::world {
namespace {

constexpr char kHostMachine[] = "HKEY_LOCAL_MACHINE";
constexpr char kKernelMachine[] = "\\Registry\\Machine";
constexpr LONG kUnchanged = ERROR_NOT_SUPPORTED;  // tells the store not to save

bool IsString(uint32_t type) {
  return type == REG_SZ || type == 2 /* REG_EXPAND_SZ */ || type == 7 /* REG_MULTI_SZ */;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

std::string Lower(std::string s) { return host::LowerCase(std::move(s)); }

std::vector<uint8_t> Wide(const std::vector<uint8_t>& narrow) {
  const std::u16string text = sim::Utf16(std::string(narrow.begin(), narrow.end()));
  std::vector<uint8_t> out;
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

std::vector<uint8_t> Narrow(const std::vector<uint8_t>& wide) {
  std::u16string text;
  for (size_t i = 0; i + 1 < wide.size(); i += 2)
    text += static_cast<char16_t>(wide[i] | (wide[i + 1] << 8));
  const std::string out = sim::Utf8(text);
  return {out.begin(), out.end()};
}

sim::HiveValue ToKernel(const host::RegistryValue& v) {
  return {v.name, v.type, IsString(v.type) ? Wide(v.data) : v.data};
}

// The host's machine keys as kernel keys, with the two roots above them.
sim::HiveTree ToKernel(const host::RegistryTree& tree) {
  sim::HiveTree out;
  for (const char* root : {"\\Registry", kKernelMachine})
    out[Lower(root)].path = root;
  const std::string prefix = Lower(kHostMachine) + "\\";
  for (const auto& [lower, key] : tree) {
    if (!StartsWith(lower, prefix)) continue;
    const std::string path = kKernelMachine + key.path.substr(sizeof(kHostMachine) - 1);
    sim::HiveKey& k = out[Lower(path)];
    k.path = path;
    k.is_volatile = key.is_volatile;
    for (const auto& [name, v] : key.values) k.values[name] = ToKernel(v);
  }
  return out;
}

// The original bytes when the kernel left the value alone, so a store
// whose strings do not survive the round trip is not rewritten.
host::RegistryValue ToHost(const sim::HiveValue& v, const host::RegistryValue* before) {
  if (before && before->type == v.type && ToKernel(*before).data == v.data) return *before;
  return {v.name, v.type, IsString(v.type) ? Narrow(v.data) : v.data};
}

void ToHost(const sim::HiveTree& kernel, host::RegistryTree* tree) {
  const std::string host_prefix = Lower(kHostMachine) + "\\";
  host::RegistryTree before;
  for (auto it = tree->begin(); it != tree->end();) {
    if (StartsWith(it->first, host_prefix)) {
      before.insert(*it);
      it = tree->erase(it);
    } else {
      ++it;
    }
  }
  const std::string kernel_prefix = Lower(kKernelMachine) + "\\";
  for (const auto& [lower, key] : kernel) {
    if (!StartsWith(lower, kernel_prefix)) continue;
    const std::string path = kHostMachine + key.path.substr(sizeof(kKernelMachine) - 1);
    const std::string host_lower = Lower(path);
    const auto old = before.find(host_lower);
    host::RegistryKey& k = (*tree)[host_lower];
    k.path = old != before.end() ? old->second.path : path;
    k.is_volatile = key.is_volatile;
    for (const auto& [name, v] : key.values) {
      const host::RegistryValue* was = nullptr;
      if (old != before.end()) {
        const auto found = old->second.values.find(name);
        if (found != old->second.values.end()) was = &found->second;
      }
      k.values[name] = ToHost(v, was);
    }
  }
}

bool InsideMachine(const std::string& lower) {
  return lower == Lower(kKernelMachine) || lower == "\\registry" ||
         StartsWith(lower, Lower(kKernelMachine) + "\\");
}

}  // namespace

void HostMachineHive::Read(const std::function<void(const sim::HiveTree&)>& read) const {
  host::RegistryStore(host::RegistryFile()).Read([&](const host::RegistryTree& tree) -> LONG {
    sim::HiveTree kernel = ToKernel(tree);
    {
      std::lock_guard lock(others_mutex_);
      kernel.insert(others_.begin(), others_.end());
    }
    read(kernel);
    return ERROR_SUCCESS;
  });
}

void HostMachineHive::Modify(const std::function<bool(sim::HiveTree&)>& change) {
  host::RegistryStore(host::RegistryFile()).Modify([&](host::RegistryTree& tree) -> LONG {
    std::lock_guard lock(others_mutex_);
    sim::HiveTree kernel = ToKernel(tree);
    kernel.insert(others_.begin(), others_.end());
    if (!change(kernel)) return kUnchanged;
    others_.clear();
    for (const auto& entry : kernel) {
      if (!InsideMachine(entry.first)) others_.insert(entry);
    }
    ToHost(kernel, &tree);
    return ERROR_SUCCESS;
  });
}

}  // namespace vk::world
