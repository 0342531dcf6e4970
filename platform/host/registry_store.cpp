#include "platform/host/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace vk::host {
namespace {

constexpr char kHeader[] = "; vkcam host registry 1";

// The volatile keys of each store file this process has used.
std::mutex g_volatile_mutex;
std::map<std::string, RegistryTree>& VolatileKeys() {
  static auto* keys = new std::map<std::string, RegistryTree>;
  return *keys;
}

// Names and paths are written between quotes with %XX escapes for anything
// that is not plain printable ASCII or would confuse the reader.
std::string Escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c >= 0x7F || c == '%' || c == '"' || c == '[' ||
        c == ']') {
      char buf[4];
      std::snprintf(buf, sizeof(buf), "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    if (i + 2 >= s.size() || HexDigit(s[i + 1]) < 0 ||
        HexDigit(s[i + 2]) < 0)
      return false;
    *out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
    i += 2;
  }
  return true;
}

bool ParseHex(const std::string& s, std::vector<uint8_t>* out) {
  if (s.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    const int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

bool ParseValueLine(const std::string& line, RegistryValue* value) {
  // "name"=type:hexdata
  const size_t close = line.find('"', 1);
  if (line[0] != '"' || close == std::string::npos ||
      line.compare(close + 1, 1, "=") != 0)
    return false;
  const size_t colon = line.find(':', close + 2);
  if (colon == std::string::npos || !Unescape(line.substr(1, close - 1),
                                              &value->name))
    return false;
  const std::string type = line.substr(close + 2, colon - close - 2);
  if (type.empty() || type.size() > 9 ||
      type.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value->type = static_cast<DWORD>(std::stoul(type));
  return ParseHex(line.substr(colon + 1), &value->data);
}

}  // namespace

std::string LowerCase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string JoinKeyPath(const std::string& base, const char* sub_key) {
  std::string path = base;
  std::string part;
  auto flush = [&] {
    if (!part.empty()) path += (path.empty() ? "" : "\\") + part;
    part.clear();
  };
  for (const char* p = sub_key ? sub_key : ""; *p; ++p) {
    if (*p == '\\') {
      flush();
    } else {
      part += *p;
    }
  }
  flush();
  return path;
}

std::string ParentKeyPath(const std::string& path) {
  const size_t p = path.rfind('\\');
  return p == std::string::npos ? std::string() : path.substr(0, p);
}

std::string SerializeRegistry(const RegistryTree& tree) {
  std::ostringstream out;
  out << kHeader << "\n";
  for (const auto& [lower, key] : tree) {
    if (key.is_volatile) continue;
    out << "\n[" << Escape(key.path) << "]\n";
    for (const auto& [lower_name, v] : key.values) {
      out << '"' << Escape(v.name) << "\"=" << v.type << ':';
      for (uint8_t b : v.data) {
        static constexpr char kDigits[] = "0123456789abcdef";
        out << kDigits[b >> 4] << kDigits[b & 15];
      }
      out << "\n";
    }
  }
  return out.str();
}

std::optional<RegistryTree> ParseRegistry(const std::string& text) {
  RegistryTree tree;
  RegistryKey* key = nullptr;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[') {
      std::string path;
      if (line.back() != ']' || !Unescape(line.substr(1, line.size() - 2), &path))
        return std::nullopt;
      key = &tree[LowerCase(path)];
      key->path = path;
      continue;
    }
    RegistryValue value;
    if (key == nullptr || !ParseValueLine(line, &value)) return std::nullopt;
    key->values[LowerCase(value.name)] = std::move(value);
  }
  return tree;
}

int RegistryStore::Lock(bool exclusive) const {
  std::error_code ec;
  std::filesystem::create_directories(
      std::filesystem::path(file_).parent_path(), ec);
  const int fd = ::open((file_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                        0600);
  if (fd >= 0) {
    while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
    }
  }
  return fd;
}

void RegistryStore::Unlock(int fd) const {
  if (fd >= 0) ::close(fd);  // closing releases the lock
}

LONG RegistryStore::Load(RegistryTree* tree, std::string* text) const {
  tree->clear();
  text->clear();
  if (std::ifstream in(file_, std::ios::binary); in) {
    std::ostringstream read;
    read << in.rdbuf();
    *text = read.str();
    std::optional<RegistryTree> parsed = ParseRegistry(*text);
    if (!parsed) {
      std::fprintf(stderr, "vkhost: registry store %s is unreadable\n",
                   file_.c_str());
      return ERROR_BADDB;
    }
    *tree = std::move(*parsed);
  }  // else no store yet: an empty registry
  std::lock_guard lock(g_volatile_mutex);
  for (const auto& [lower, key] : VolatileKeys()[file_]) (*tree)[lower] = key;
  return ERROR_SUCCESS;
}

LONG RegistryStore::Save(const RegistryTree& tree,
                         const std::string& loaded_text) const {
  {
    std::lock_guard lock(g_volatile_mutex);
    RegistryTree& kept = VolatileKeys()[file_];
    kept.clear();
    for (const auto& [lower, key] : tree) {
      if (key.is_volatile) kept.emplace(lower, key);
    }
  }
  const std::string text = SerializeRegistry(tree);
  if (text == loaded_text) return ERROR_SUCCESS;
  const std::string tmp = file_ + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        0600);
  if (fd < 0) return ERROR_CANTWRITE;
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const bool ok = written == text.size() && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || std::rename(tmp.c_str(), file_.c_str()) != 0) {
    std::remove(tmp.c_str());
    return ERROR_CANTWRITE;
  }
  return ERROR_SUCCESS;
}

}  // namespace vk::host
