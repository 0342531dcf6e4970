#include "sim/kernel/inf.h"

#include <cctype>
#include <map>
#include <sstream>
#include <vector>

namespace vk::sim {
namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Splits an INF line at commas outside quotes; quotes are removed, and a
// field that was quoted is marked so %tokens% inside it stay literal.
std::vector<std::pair<std::string, bool>> Fields(const std::string& line) {
  std::vector<std::pair<std::string, bool>> fields(1);
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      fields.back().second = true;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else if (c == ';' && !quoted) {
      break;
    } else {
      fields.back().first += c;
    }
  }
  for (auto& f : fields) f.first = Trim(f.first);
  return fields;
}

std::string Substitute(const std::string& value,
                       const std::map<std::string, std::string>& strings) {
  if (value.size() > 2 && value.front() == '%' && value.back() == '%') {
    auto it = strings.find(Lower(value.substr(1, value.size() - 2)));
    if (it != strings.end()) return it->second;
  }
  return value;
}

std::vector<uint8_t> Utf16Bytes(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : Utf16(text)) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

bool ApplyAddReg(SimKernel& kernel, const std::string& line,
                 const std::map<std::string, std::string>& strings) {
  auto fields = Fields(line);
  if (fields.size() < 4 || Lower(fields[0].first) != "hklm") return false;
  const std::string key = "\\Registry\\Machine\\" + fields[1].first;
  const std::string name = fields[2].first;
  const unsigned long flags = std::stoul(fields[3].first, nullptr, 0);
  if (flags == 0x00000001) {  // FLG_ADDREG_BINVALUETYPE: hex bytes
    std::vector<uint8_t> data;
    for (size_t i = 4; i < fields.size(); ++i)
      data.push_back(static_cast<uint8_t>(std::stoul(fields[i].first, nullptr, 16)));
    kernel.SetRegistryValue(key, name, kernel::kRegBinary, data);
  } else if (flags == 0x00010001) {  // REG_DWORD
    const uint32_t v =
        fields.size() > 4 ? static_cast<uint32_t>(std::stoul(fields[4].first, nullptr, 0)) : 0;
    kernel.SetRegistryValue(key, name, kernel::kRegDword,
                            {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                             static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)});
  } else if (flags == 0) {  // REG_SZ
    const auto& [text, quoted] = fields.size() > 4 ? fields[4] : std::make_pair(std::string(), true);
    kernel.SetRegistryValue(key, name, kernel::kRegSz,
                            Utf16Bytes(quoted ? text : Substitute(text, strings)));
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool ProvisionFromInf(SimKernel& kernel, const std::string& inf_text,
                      std::string* error) {
  // Two passes: the strings first, since sections may use them before.
  std::map<std::string, std::vector<std::string>> sections;
  std::string section;
  std::istringstream in(inf_text);
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = Lower(line.substr(1, line.size() - 2));
      continue;
    }
    sections[section].push_back(line);
  }
  std::map<std::string, std::string> strings;
  for (const std::string& l : sections["strings"]) {
    const size_t eq = l.find('=');
    if (eq == std::string::npos) continue;
    std::string value = Trim(l.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    strings[Lower(Trim(l.substr(0, eq)))] = value;
  }
  for (const auto& [name, lines] : sections) {
    if (name.size() < 7 || name.compare(name.size() - 7, 7, ".addreg") != 0)
      continue;
    for (const std::string& l : lines) {
      bool ok = false;
      try {
        ok = ApplyAddReg(kernel, l, strings);
      } catch (const std::exception&) {
        ok = false;
      }
      if (!ok) {
        if (error) *error = "bad AddReg line: " + l;
        return false;
      }
    }
  }
  return true;
}

}  // namespace vk::sim
