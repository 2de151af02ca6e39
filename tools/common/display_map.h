#pragma once
// The display data the service stand-in sends and the GUI stand-in draws: one byte per block
// of the volume, the header's dwParam giving the number of blocks. The module passes it on
// without reading it.

#include <cstdint>

enum MapCell : std::uint8_t {
  kMapFree = 0,        // no cluster of the block is in use
  kMapUsed = 1,        // in use by contiguous files
  kMapFragmented = 2,  // holds a piece of a fragmented file
  kMapSystem = 3,      // system area that cannot be moved
};

// The character the GUI draws for a cell.
inline char MapCellChar(std::uint8_t cell) {
  switch (cell) {
    case kMapFree: return '.';
    case kMapUsed: return '#';
    case kMapFragmented: return 'x';
    case kMapSystem: return 'S';
    default: return '?';
  }
}

// The largest display the service sends (one pipe packet carries it).
constexpr std::uint32_t kMaxDisplayCells = 50000;
