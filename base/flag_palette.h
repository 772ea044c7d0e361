// The colours and names of the land-cover flags, one for each flag class,
// shared by the exported flag rasters, their style files and the main
// window's map: the first flag set in the order sea, inland water, coastal
// area, town, trees decides.
#pragma once

#include <array>
#include <cstdint>

namespace kavlin {

enum FlagClass : uint8_t { CLASS_NONE = 0, CLASS_SEA, CLASS_INLAND_WATER, CLASS_COASTAL_AREA, CLASS_TOWN, CLASS_TREES };

inline uint8_t flag_class(uint16_t word) {
  if (word & 0x0001) return CLASS_SEA;
  if (word & 0x0002) return CLASS_INLAND_WATER;
  if (word & 0x0004) return CLASS_COASTAL_AREA;
  if (word & 0x0008) return CLASS_TOWN;
  if (word & 0x0010) return CLASS_TREES;
  return CLASS_NONE;
}

struct FlagColour {
  uint8_t r, g, b;
};

// By flag class.
inline constexpr std::array<FlagColour, 6> FLAG_PALETTE = {{
    {245, 245, 240},  // none
    {20, 60, 160},    // sea
    {90, 170, 250},   // inland water
    {230, 200, 120},  // coastal area
    {200, 40, 40},    // town
    {30, 130, 50},    // trees
}};

// By flag class; the class of flag bit b (0 sea .. 4 trees) is b + 1, so
// FLAG_CLASS_NAMES[b + 1] also names bit b of a grid word.
inline constexpr std::array<const char*, 6> FLAG_CLASS_NAMES = {
    "none", "sea", "inland water", "coastal area", "town", "trees"};

}  // namespace kavlin
