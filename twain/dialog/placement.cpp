#include "twain/dialog/placement.h"

namespace vk::twain {
namespace {

// One axis: centred on the reference, then kept inside [low, high).
LONG Place(LONG size, LONG reference_low, LONG reference_high, LONG low, LONG high) {
  LONG start = (reference_low + reference_high) / 2 - size / 2;
  if (start < low) return low;
  if (start + size > high) start = high - size;
  return start;
}

}  // namespace

bool CentresOnParent(uint32_t style) {
  return (style & kStyleVisible) != 0 && (style & kStyleMinimised) == 0;
}

POINT PlaceDialog(const RECT& dialog, const RECT* parent, const RECT& work) {
  const RECT& reference = parent ? *parent : work;
  const LONG width = dialog.right - dialog.left;
  const LONG height = dialog.bottom - dialog.top;
  return {Place(width, reference.left, reference.right, work.left, work.right),
          Place(height, reference.top, reference.bottom, work.top, work.bottom)};
}

}  // namespace vk::twain
