// The host registry: current-user and machine hives kept in one text file,
// read and rewritten whole under a file lock, and replaced by renaming a
// fully written temporary file, so concurrent processes and a crash mid-write
// never leave a torn store behind. Key paths and value names compare without
// regard to case, as Windows' do. Volatile keys are never written to the file:
// they live in this process (the machine that created them) until it ends.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/win32_types.h"

namespace vk::host {

struct RegistryValue {
  std::string name;  // as first written
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct RegistryKey {
  std::string path;  // as first created, e.g. "HKEY_CURRENT_USER\Software\X"
  bool is_volatile = false;
  std::map<std::string, RegistryValue> values;  // by lower-case name
};

// Keys by lower-case path.
using RegistryTree = std::map<std::string, RegistryKey>;

// Text form of a tree's non-volatile keys and back. Parse returns nullopt on
// any malformed line.
VKHOST_EXPORT std::string SerializeRegistry(const RegistryTree& tree);
VKHOST_EXPORT std::optional<RegistryTree> ParseRegistry(const std::string& text);

VKHOST_EXPORT std::string LowerCase(std::string s);
// Joins a key path and a sub-key, dropping empty components: "A\\B\\" + "C".
std::string JoinKeyPath(const std::string& base, const char* sub_key);
std::string ParentKeyPath(const std::string& path);

class VKHOST_EXPORT RegistryStore {
 public:
  explicit RegistryStore(std::string file) : file_(std::move(file)) {}

  // Runs `change` on the tree under an exclusive lock and saves the tree when
  // it returns ERROR_SUCCESS. Returns its result, or the store's own error
  // (ERROR_BADDB for an unreadable store, ERROR_CANTWRITE when saving fails).
  template <typename F>
  LONG Modify(F&& change);
  // Runs `read` on the tree under a shared lock.
  template <typename F>
  LONG Read(F&& read) const;

  const std::string& file() const { return file_; }

 private:
  int Lock(bool exclusive) const;
  void Unlock(int fd) const;
  // `text` receives the file as loaded, so that Save leaves the file alone
  // when a change touched only volatile keys.
  LONG Load(RegistryTree* tree, std::string* text) const;
  LONG Save(const RegistryTree& tree, const std::string& loaded_text) const;

  std::string file_;
};

template <typename F>
LONG RegistryStore::Modify(F&& change) {
  const int fd = Lock(true);
  RegistryTree tree;
  std::string text;
  LONG result = Load(&tree, &text);
  if (result == ERROR_SUCCESS) result = change(tree);
  if (result == ERROR_SUCCESS) result = Save(tree, text);
  Unlock(fd);
  return result;
}

template <typename F>
LONG RegistryStore::Read(F&& read) const {
  const int fd = Lock(false);
  RegistryTree tree;
  std::string text;
  LONG result = Load(&tree, &text);
  if (result == ERROR_SUCCESS) result = read(static_cast<const RegistryTree&>(tree));
  Unlock(fd);
  return result;
}

}  // namespace vk::host
