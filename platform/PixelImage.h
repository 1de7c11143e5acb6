// A picture as displays take and hand out pixels: 32 bits each (blue, green,
// red, unused), rows top-down, 4 * Width bytes apiece with no padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zr::os {

struct TPixelImage {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint8_t> Bits;

    // Sizes the picture, every pixel black; negative sizes count as 0.
    void Allocate(int width, int height) {
        Width = width > 0 ? width : 0;
        Height = height > 0 ? height : 0;
        Bits.assign(4 * static_cast<std::size_t>(Width) * static_cast<std::size_t>(Height), 0);
    }
    std::uint8_t* Row(int y) { return Bits.data() + RowOffset(y); }
    const std::uint8_t* Row(int y) const { return Bits.data() + RowOffset(y); }

  private:
    std::size_t RowOffset(int y) const {
        return 4 * static_cast<std::size_t>(Width) * static_cast<std::size_t>(y);
    }
};

}  // namespace zr::os
