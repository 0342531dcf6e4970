// The kernel registry: an in-memory tree of keys (volatile or not) with
// REG_SZ, REG_BINARY and REG_DWORD values, names compared without case.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "sim/kernel/sim_kernel.h"

namespace vk::sim {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ParentOf(const std::string& path) {
  const size_t p = path.rfind('\\');
  return p == std::string::npos || p == 0 ? std::string() : path.substr(0, p);
}

}  // namespace

void SimKernel::EnsureKey(const std::string& path, bool is_volatile) {
  std::lock_guard lock(registry_mutex_);
  for (std::string p = path; !p.empty(); p = ParentOf(p)) {
    RegKeyNode& node = registry_[Lower(p)];
    if (node.path.empty()) {
      node.path = p;
      node.is_volatile = is_volatile;
    }
  }
}

void SimKernel::SetRegistryValue(const std::string& key,
                                 const std::string& name, uint32_t type,
                                 const std::vector<uint8_t>& data) {
  EnsureKey(key);
  std::lock_guard lock(registry_mutex_);
  registry_[Lower(key)].values[Lower(name)] = {name, type, data};
}

bool SimKernel::RegistryKeyExists(const std::string& path) const {
  std::lock_guard lock(registry_mutex_);
  return registry_.count(Lower(path)) != 0;
}

bool SimKernel::RegistryValue(const std::string& key, const std::string& name,
                              uint32_t* type, std::vector<uint8_t>* data) const {
  std::lock_guard lock(registry_mutex_);
  auto k = registry_.find(Lower(key));
  if (k == registry_.end()) return false;
  auto v = k->second.values.find(Lower(name));
  if (v == k->second.values.end()) return false;
  if (type) *type = v->second.type;
  if (data) *data = v->second.data;
  return true;
}

std::vector<std::string> SimKernel::RegistryKeysUnder(
    const std::string& prefix) const {
  std::lock_guard lock(registry_mutex_);
  std::vector<std::string> keys;
  const std::string lower = Lower(prefix);
  for (const auto& [k, node] : registry_) {
    if (k.rfind(lower, 0) == 0) keys.push_back(node.path);
  }
  return keys;
}

bool SimKernel::RegistryKeyVolatile(const std::string& path) const {
  std::lock_guard lock(registry_mutex_);
  auto it = registry_.find(Lower(path));
  return it != registry_.end() && it->second.is_volatile;
}

void SimKernel::FailKeyCreation(int count) {
  std::lock_guard lock(registry_mutex_);
  failing_key_creations_ = count;
}

NtStatus SimKernel::OpenKey(const char16_t* path, kernel::RegistryKey** key) {
  const std::string lower = Lower(Utf8(path));
  std::lock_guard lock(registry_mutex_);
  if (registry_.count(lower) == 0) return kStatusObjectNameNotFound;
  *key = new kernel::RegistryKey{lower};
  open_keys_.insert(*key);
  return kStatusSuccess;
}

NtStatus SimKernel::QueryValue(kernel::RegistryKey* key, const char16_t* name,
                               uint32_t* type, void* data, uint32_t size,
                               uint32_t* length) {
  *length = 0;
  std::lock_guard lock(registry_mutex_);
  auto k = registry_.find(key->path);
  if (k == registry_.end()) return kStatusKeyDeleted;
  auto v = k->second.values.find(Lower(Utf8(name)));
  if (v == k->second.values.end()) return kStatusObjectNameNotFound;
  const auto n = static_cast<uint32_t>(v->second.data.size());
  *length = n;
  if (type) *type = v->second.type;
  if (data == nullptr || size < n) return kStatusBufferTooSmall;
  if (n > 0) std::memcpy(data, v->second.data.data(), n);
  return kStatusSuccess;
}

NtStatus SimKernel::CreateKey(const char16_t* path, bool is_volatile,
                              kernel::RegistryKey** key, bool* created) {
  const std::string full = Utf8(path);
  const std::string lower = Lower(full);
  std::lock_guard lock(registry_mutex_);
  if (failing_key_creations_ > 0) {
    --failing_key_creations_;
    return kStatusInsufficientResources;
  }
  const bool exists = registry_.count(lower) != 0;
  if (!exists) {
    const std::string parent = Lower(ParentOf(full));
    if (parent.empty() || registry_.count(parent) == 0)
      return kStatusObjectNameNotFound;
    // A key under a volatile key must itself be volatile.
    if (!is_volatile && registry_[parent].is_volatile)
      return MakeNtStatus(0xC0000181);  // STATUS_CHILD_MUST_BE_VOLATILE
    RegKeyNode& node = registry_[lower];
    node.path = full;
    node.is_volatile = is_volatile;
  }
  if (created) *created = !exists;
  *key = new kernel::RegistryKey{lower};
  open_keys_.insert(*key);
  return kStatusSuccess;
}

NtStatus SimKernel::SetValue(kernel::RegistryKey* key, const char16_t* name,
                             uint32_t type, const void* data, uint32_t size) {
  std::lock_guard lock(registry_mutex_);
  auto k = registry_.find(key->path);
  if (k == registry_.end()) return kStatusKeyDeleted;
  const std::string display = Utf8(name ? name : u"");
  const auto* bytes = static_cast<const uint8_t*>(data);
  k->second.values[Lower(display)] = {display, type,
                                      std::vector<uint8_t>(bytes, bytes + size)};
  return kStatusSuccess;
}

NtStatus SimKernel::DeleteKey(kernel::RegistryKey* key) {
  std::lock_guard lock(registry_mutex_);
  auto k = registry_.find(key->path);
  if (k == registry_.end()) return kStatusKeyDeleted;
  auto child = registry_.lower_bound(key->path + "\\");
  if (child != registry_.end() && child->first.rfind(key->path + "\\", 0) == 0)
    return kStatusCannotDelete;
  registry_.erase(k);
  return kStatusSuccess;
}

void SimKernel::CloseKey(kernel::RegistryKey* key) {
  std::lock_guard lock(registry_mutex_);
  if (open_keys_.erase(key)) delete key;
}

}  // namespace vk::sim
