#include <string>

#include "sim/kernel/sim_kernel.h"

namespace vk::sim {

// The kernel's names are ASCII in practice; other characters pass through
// UTF-8 so that nothing is lost.
std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out += static_cast<char16_t>(c);
    } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
      out += static_cast<char16_t>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
      i += 1;
    } else if (i + 2 < s.size()) {
      out += static_cast<char16_t>(((c & 0x0F) << 12) |
                                   ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
      i += 2;
    }
  }
  return out;
}

std::u16string LowerCase(std::u16string s) {
  for (char16_t& c : s) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return s;
}

}  // namespace vk::sim
