#include "scan/frame_search.h"

namespace korvane {

size_t FindMagicScalar(const uint8_t* buf, size_t n, uint32_t* out) {
  size_t count = 0;
  for (size_t p = 0; p < n; ++p) {
    uint32_t word;
    std::memcpy(&word, buf + p, 4);
    if (word == kFrameMagicWord) out[count++] = static_cast<uint32_t>(p);
  }
  return count;
}

FindMagicFn SelectedFindMagic() { return &FindMagicScalar; }
const char* SelectedFindMagicName() { return "scalar"; }

}  // namespace korvane
