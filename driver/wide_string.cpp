#include "driver/wide_string.h"

namespace vk::drv {

size_t WideLength(const char16_t* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

bool WideCopy(char16_t* dest, size_t capacity, const char16_t* src) {
  if (capacity == 0) return false;
  dest[0] = 0;
  return WideAppend(dest, capacity, src);
}

bool WideAppend(char16_t* dest, size_t capacity, const char16_t* src) {
  const size_t have = WideLength(dest), add = WideLength(src);
  if (have + add + 1 > capacity) return false;
  for (size_t i = 0; i <= add; ++i) dest[have + i] = src[i];
  return true;
}

bool WideEqual(const char16_t* a, const char16_t* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

void WideUpperAscii(char16_t* s) {
  for (; *s != 0; ++s) {
    if (*s >= u'a' && *s <= u'z') *s = static_cast<char16_t>(*s - u'a' + u'A');
  }
}

}  // namespace vk::drv
