// The Win32 registry calls over the host registry store.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/host/host.h"
#include "platform/host/registry_store.h"
#include "platform/host/win32_api.h"

struct HKEY__ {
  std::string path;
};

namespace vk::host {
namespace {

constexpr char kCurrentUser[] = "HKEY_CURRENT_USER";
constexpr char kLocalMachine[] = "HKEY_LOCAL_MACHINE";

std::mutex g_keys_mutex;
std::set<HKEY>& OpenKeys() {
  static auto* keys = new std::set<HKEY>;
  return *keys;
}

bool IsHiveRoot(const std::string& lower) {
  return lower == LowerCase(kCurrentUser) || lower == LowerCase(kLocalMachine);
}

// The path a key handle stands for; false for an unknown handle.
bool PathOf(HKEY key, std::string* path) {
  if (key == HKEY_CURRENT_USER) {
    *path = kCurrentUser;
    return true;
  }
  if (key == HKEY_LOCAL_MACHINE) {
    *path = kLocalMachine;
    return true;
  }
  std::lock_guard lock(g_keys_mutex);
  if (OpenKeys().count(key) == 0) return false;
  *path = key->path;
  return true;
}

bool KeyExists(const RegistryTree& tree, const std::string& path) {
  const std::string lower = LowerCase(path);
  return IsHiveRoot(lower) || tree.count(lower) != 0;
}

HKEY NewKey(const std::string& path) {
  HKEY key = new HKEY__{path};
  std::lock_guard lock(g_keys_mutex);
  OpenKeys().insert(key);
  return key;
}

RegistryStore Store() { return RegistryStore(RegistryFile()); }

}  // namespace

std::string RegistryFile() {
  if (const char* file = std::getenv("VKCAM_REGISTRY"); file && *file)
    return file;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
    return std::string(config) + "/vkcam/registry";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/.config/vkcam/registry";
}

}  // namespace vk::host

using namespace vk::host;

extern "C" {

LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD, LPSTR, DWORD options,
                     REGSAM, LPSECURITY_ATTRIBUTES, PHKEY result,
                     LPDWORD disposition) {
  std::string base;
  if (!PathOf(key, &base)) return ERROR_INVALID_HANDLE;
  if (sub_key == nullptr || result == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string path = JoinKeyPath(base, sub_key);
  const bool is_volatile = (options & REG_OPTION_VOLATILE) != 0;
  DWORD how = REG_OPENED_EXISTING_KEY;
  const LONG status = Store().Modify([&](RegistryTree& tree) -> LONG {
    if (!KeyExists(tree, base)) return ERROR_KEY_DELETED;
    // The missing keys, from the bottom up; created only if all may be.
    std::vector<std::string> missing;
    std::string p = path;
    for (; !IsHiveRoot(LowerCase(p)) && !p.empty(); p = ParentKeyPath(p)) {
      if (tree.count(LowerCase(p)) != 0) break;
      missing.push_back(p);
    }
    const auto parent = tree.find(LowerCase(p));
    const bool parent_volatile = parent != tree.end() && parent->second.is_volatile;
    if (!missing.empty() && parent_volatile && !is_volatile)
      return ERROR_CHILD_MUST_BE_VOLATILE;
    for (const std::string& m : missing) {
      RegistryKey& k = tree[LowerCase(m)];
      k.path = m;
      k.is_volatile = is_volatile;
    }
    if (!missing.empty()) how = REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
  });
  if (status != ERROR_SUCCESS) return status;
  *result = NewKey(path);
  if (disposition) *disposition = how;
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM, PHKEY result) {
  std::string base;
  if (!PathOf(key, &base)) return ERROR_INVALID_HANDLE;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  const std::string path = JoinKeyPath(base, sub_key);
  const LONG status = Store().Read([&](const RegistryTree& tree) -> LONG {
    return KeyExists(tree, path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
  if (status != ERROR_SUCCESS) return status;
  *result = NewKey(path);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type,
                      LPBYTE data, LPDWORD size) {
  std::string path;
  if (!PathOf(key, &path)) return ERROR_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  return Store().Read([&](const RegistryTree& tree) -> LONG {
    const auto k = tree.find(LowerCase(path));
    if (k == tree.end())
      return KeyExists(tree, path) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    const auto v = k->second.values.find(LowerCase(name ? name : ""));
    if (v == k->second.values.end()) return ERROR_FILE_NOT_FOUND;
    const auto length = static_cast<DWORD>(v->second.data.size());
    if (type) *type = v->second.type;
    if (data == nullptr) {
      if (size) *size = length;
      return ERROR_SUCCESS;
    }
    const DWORD room = *size;
    *size = length;
    if (room < length) return ERROR_MORE_DATA;
    if (length > 0) std::memcpy(data, v->second.data.data(), length);
    return ERROR_SUCCESS;
  });
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type,
                    const BYTE* data, DWORD size) {
  std::string path;
  if (!PathOf(key, &path)) return ERROR_INVALID_HANDLE;
  const bool known = type == REG_SZ || type == REG_BINARY || type == REG_DWORD;
  if (!known || (type == REG_DWORD && size != 4) ||
      (data == nullptr && size != 0))
    return ERROR_INVALID_PARAMETER;
  return Store().Modify([&](RegistryTree& tree) -> LONG {
    const std::string lower = LowerCase(path);
    if (!KeyExists(tree, path)) return ERROR_KEY_DELETED;
    RegistryKey& k = tree[lower];
    if (k.path.empty()) k.path = path;
    RegistryValue& v = k.values[LowerCase(name ? name : "")];
    if (v.name.empty()) v.name = name ? name : "";
    v.type = type;
    v.data.assign(data, data + size);
    return ERROR_SUCCESS;
  });
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_length,
                   LPDWORD, LPSTR, LPDWORD, PFILETIME) {
  std::string path;
  if (!PathOf(key, &path)) return ERROR_INVALID_HANDLE;
  if (name == nullptr || name_length == nullptr) return ERROR_INVALID_PARAMETER;
  return Store().Read([&](const RegistryTree& tree) -> LONG {
    if (!KeyExists(tree, path)) return ERROR_KEY_DELETED;
    const std::string prefix = LowerCase(path) + "\\";
    DWORD seen = 0;
    for (auto it = tree.lower_bound(prefix);
         it != tree.end() && it->first.rfind(prefix, 0) == 0; ++it) {
      const std::string child = it->second.path.substr(prefix.size());
      if (child.find('\\') != std::string::npos || seen++ != index) continue;
      const DWORD room = *name_length;
      if (room <= child.size()) return ERROR_MORE_DATA;
      std::memcpy(name, child.c_str(), child.size() + 1);
      *name_length = static_cast<DWORD>(child.size());
      return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
  });
}

LONG RegDeleteKeyA(HKEY key, LPCSTR sub_key) {
  std::string base;
  if (!PathOf(key, &base)) return ERROR_INVALID_HANDLE;
  if (sub_key == nullptr || *sub_key == '\0') return ERROR_INVALID_PARAMETER;
  const std::string lower = LowerCase(JoinKeyPath(base, sub_key));
  return Store().Modify([&](RegistryTree& tree) -> LONG {
    if (IsHiveRoot(lower)) return ERROR_ACCESS_DENIED;
    const auto it = tree.find(lower);
    if (it == tree.end()) return ERROR_FILE_NOT_FOUND;
    // A key with sub-keys is not deleted, as on Windows.
    const std::string prefix = lower + "\\";
    const auto child = tree.lower_bound(prefix);
    if (child != tree.end() && child->first.rfind(prefix, 0) == 0)
      return ERROR_ACCESS_DENIED;
    tree.erase(it);
    return ERROR_SUCCESS;
  });
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE)
    return ERROR_SUCCESS;
  std::lock_guard lock(g_keys_mutex);
  if (OpenKeys().erase(key) == 0) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}

}  // extern "C"
