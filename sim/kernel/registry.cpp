// The kernel registry: keys (volatile or not) with REG_SZ, REG_BINARY and
// REG_DWORD values, names compared without case, kept in the kernel's hive.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "sim/kernel/sim_kernel.h"

namespace vk::sim {
namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ParentOf(const std::string& path) {
  const size_t p = path.rfind('\\');
  return p == std::string::npos || p == 0 ? std::string() : path.substr(0, p);
}

bool HasChildren(const HiveTree& tree, const std::string& lower) {
  const std::string prefix = lower + "\\";
  const auto child = tree.lower_bound(prefix);
  return child != tree.end() && child->first.rfind(prefix, 0) == 0;
}

}  // namespace

void SimKernel::SetHive(std::unique_ptr<RegistryHive> hive) {
  hive_ = std::move(hive);
  // The roots every machine has.
  for (const char* root :
       {"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        "\\Registry\\Machine\\Software\\Classes\\CLSID",
        "\\Registry\\Machine\\Software\\Wow6432Node\\Classes\\CLSID"})
    EnsureKey(root);
}

void SimKernel::EnsureKey(const std::string& path, bool is_volatile) {
  hive_->Modify([&](HiveTree& tree) {
    bool changed = false;
    for (std::string p = path; !p.empty(); p = ParentOf(p)) {
      HiveKey& node = tree[Lower(p)];
      if (node.path.empty()) {
        node.path = p;
        node.is_volatile = is_volatile;
        changed = true;
      }
    }
    return changed;
  });
}

void SimKernel::SetRegistryValue(const std::string& key,
                                 const std::string& name, uint32_t type,
                                 const std::vector<uint8_t>& data) {
  EnsureKey(key);
  hive_->Modify([&](HiveTree& tree) {
    tree[Lower(key)].values[Lower(name)] = {name, type, data};
    return true;
  });
}

bool SimKernel::RegistryKeyExists(const std::string& path) const {
  bool exists = false;
  hive_->Read(
      [&](const HiveTree& tree) { exists = tree.count(Lower(path)) != 0; });
  return exists;
}

bool SimKernel::RegistryValue(const std::string& key, const std::string& name,
                              uint32_t* type,
                              std::vector<uint8_t>* data) const {
  bool found = false;
  hive_->Read([&](const HiveTree& tree) {
    auto k = tree.find(Lower(key));
    if (k == tree.end()) return;
    auto v = k->second.values.find(Lower(name));
    if (v == k->second.values.end()) return;
    if (type) *type = v->second.type;
    if (data) *data = v->second.data;
    found = true;
  });
  return found;
}

std::vector<std::string> SimKernel::RegistryKeysUnder(
    const std::string& prefix) const {
  std::vector<std::string> keys;
  const std::string lower = Lower(prefix);
  hive_->Read([&](const HiveTree& tree) {
    for (const auto& [k, node] : tree) {
      if (k.rfind(lower, 0) == 0) keys.push_back(node.path);
    }
  });
  return keys;
}

bool SimKernel::RegistryKeyVolatile(const std::string& path) const {
  bool is_volatile = false;
  hive_->Read([&](const HiveTree& tree) {
    auto it = tree.find(Lower(path));
    is_volatile = it != tree.end() && it->second.is_volatile;
  });
  return is_volatile;
}

void SimKernel::FailKeyCreation(int count) {
  std::lock_guard lock(registry_mutex_);
  failing_key_creations_ = count;
}

kernel::RegistryKey* SimKernel::NewKeyHandle(const std::string& lower) {
  auto* key = new kernel::RegistryKey{lower};
  std::lock_guard lock(registry_mutex_);
  open_keys_.insert(key);
  return key;
}

NtStatus SimKernel::OpenKey(const char16_t* path, kernel::RegistryKey** key) {
  verifier::RequireAtMost(kPassiveLevel, "ZwOpenKey");
  const std::string lower = Lower(Utf8(path));
  if (!RegistryKeyExists(lower)) return kStatusObjectNameNotFound;
  *key = NewKeyHandle(lower);
  return kStatusSuccess;
}

NtStatus SimKernel::QueryValue(kernel::RegistryKey* key, const char16_t* name,
                               uint32_t* type, void* data, uint32_t size,
                               uint32_t* length) {
  verifier::RequireAtMost(kPassiveLevel, "ZwQueryValueKey");
  *length = 0;
  NtStatus status = kStatusSuccess;
  hive_->Read([&](const HiveTree& tree) {
    auto k = tree.find(key->path);
    if (k == tree.end()) {
      status = kStatusKeyDeleted;
      return;
    }
    auto v = k->second.values.find(Lower(Utf8(name)));
    if (v == k->second.values.end()) {
      status = kStatusObjectNameNotFound;
      return;
    }
    const auto n = static_cast<uint32_t>(v->second.data.size());
    *length = n;
    if (type) *type = v->second.type;
    if (data == nullptr || size < n) {
      status = kStatusBufferTooSmall;
    } else if (n > 0) {
      std::memcpy(data, v->second.data.data(), n);
    }
  });
  return status;
}

bool SimKernel::FailThisKeyCreation() {
  std::lock_guard lock(registry_mutex_);
  if (failing_key_creations_ == 0) return false;
  --failing_key_creations_;
  return true;
}

NtStatus SimKernel::CreateKey(const char16_t* path, bool is_volatile,
                              kernel::RegistryKey** key, bool* created) {
  verifier::RequireAtMost(kPassiveLevel, "ZwCreateKey");
  if (FailThisKeyCreation()) return kStatusInsufficientResources;
  const std::string full = Utf8(path);
  const std::string lower = Lower(full);
  NtStatus status = kStatusSuccess;
  bool exists = false;
  hive_->Modify([&](HiveTree& tree) {
    exists = tree.count(lower) != 0;
    if (exists) return false;
    const auto parent = tree.find(Lower(ParentOf(full)));
    if (parent == tree.end()) {
      status = kStatusObjectNameNotFound;
      return false;
    }
    // A key under a volatile key must itself be volatile.
    if (!is_volatile && parent->second.is_volatile) {
      status = MakeNtStatus(0xC0000181);  // STATUS_CHILD_MUST_BE_VOLATILE
      return false;
    }
    HiveKey& node = tree[lower];
    node.path = full;
    node.is_volatile = is_volatile;
    return true;
  });
  if (status != kStatusSuccess) return status;
  if (created) *created = !exists;
  *key = NewKeyHandle(lower);
  return kStatusSuccess;
}

NtStatus SimKernel::SetValue(kernel::RegistryKey* key, const char16_t* name,
                             uint32_t type, const void* data, uint32_t size) {
  verifier::RequireAtMost(kPassiveLevel, "ZwSetValueKey");
  const std::string display = Utf8(name ? name : u"");
  const auto* bytes = static_cast<const uint8_t*>(data);
  NtStatus status = kStatusSuccess;
  hive_->Modify([&](HiveTree& tree) {
    auto k = tree.find(key->path);
    if (k == tree.end()) {
      status = kStatusKeyDeleted;
      return false;
    }
    k->second.values[Lower(display)] = {
        display, type, std::vector<uint8_t>(bytes, bytes + size)};
    return true;
  });
  return status;
}

NtStatus SimKernel::DeleteKey(kernel::RegistryKey* key) {
  verifier::RequireAtMost(kPassiveLevel, "ZwDeleteKey");
  NtStatus status = kStatusSuccess;
  hive_->Modify([&](HiveTree& tree) {
    auto k = tree.find(key->path);
    if (k == tree.end()) {
      status = kStatusKeyDeleted;
    } else if (HasChildren(tree, key->path)) {
      status = kStatusCannotDelete;
    } else {
      tree.erase(k);
    }
    return status == kStatusSuccess;
  });
  return status;
}

void SimKernel::CloseKey(kernel::RegistryKey* key) {
  verifier::RequireAtMost(kPassiveLevel, "ZwClose");
  std::lock_guard lock(registry_mutex_);
  if (open_keys_.erase(key)) delete key;
}

}  // namespace vk::sim
