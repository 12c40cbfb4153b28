// Rectangles {left, top, right, bottom}; right and bottom are exclusive.
#pragma once
#include <cstdint>

namespace ko {

struct RECT {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};

inline bool IsRectEmpty(const RECT& r) { return r.right <= r.left || r.bottom <= r.top; }

inline void CopyRect(RECT* dst, const RECT& src) { *dst = src; }

// Writes the intersection to *dst; an empty intersection becomes {0, 0, 0, 0} and false.
inline bool IntersectRect(RECT* dst, const RECT& a, const RECT& b) {
  RECT r{a.left > b.left ? a.left : b.left, a.top > b.top ? a.top : b.top,
         a.right < b.right ? a.right : b.right, a.bottom < b.bottom ? a.bottom : b.bottom};
  if (IsRectEmpty(r)) {
    *dst = RECT{0, 0, 0, 0};
    return false;
  }
  *dst = r;
  return true;
}

}  // namespace ko
