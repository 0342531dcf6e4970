// Zero-terminated UTF-16 strings in fixed buffers, as the driver keeps its
// names and settings. Every writer is bounded by the buffer's capacity in
// characters and always leaves a terminator.
#pragma once

#include <cstddef>

namespace vk::drv {

size_t WideLength(const char16_t* s);
// Copies `src`; false (and `dest` emptied) when it does not fit.
bool WideCopy(char16_t* dest, size_t capacity, const char16_t* src);
// Appends `src`; false (and `dest` unchanged) when it does not fit.
bool WideAppend(char16_t* dest, size_t capacity, const char16_t* src);
bool WideEqual(const char16_t* a, const char16_t* b);
// Upper-cases 'a' to 'z' only.
void WideUpperAscii(char16_t* s);

template <size_t N>
bool WideCopy(char16_t (&dest)[N], const char16_t* src) {
  return WideCopy(dest, N, src);
}
template <size_t N>
bool WideAppend(char16_t (&dest)[N], const char16_t* src) {
  return WideAppend(dest, N, src);
}

}  // namespace vk::drv
