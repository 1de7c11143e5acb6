// Feeds arbitrary bytes to the BMP readers (file, packed resource DIB, icon
// image and .ico file). Anything they accept must write out and read back to
// the same picture; anything else must be refused with EInvalidGraphic.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "framework/BmpCodec.h"
#include "framework/Exceptions.h"
#include "framework/Graphics.h"

namespace {

void CheckRoundTrip(const zr::TDibImage& image) {
    const zr::TDibImage again = zr::ReadBmpFile(zr::WriteBmpFile(image));
    if (again.Width != image.Width || again.Height != image.Height ||
        again.BitsPerPixel != image.BitsPerPixel || again.Bits != image.Bits)
        std::abort();
}

template <class Read>
void Try(Read read) {
    try {
        read();
    } catch (const zr::EInvalidGraphic&) {
    } catch (const zr::EOutOfResources&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    Try([&] { CheckRoundTrip(zr::ReadBmpFile(bytes)); });
    Try([&] { CheckRoundTrip(zr::ReadPackedDib(bytes)); });
    Try([&] {
        zr::TDibImage mask;
        zr::ReadIconDib(bytes, mask);
    });
    Try([&] {
        zr::TIcon icon;
        icon.LoadFromBytes(bytes);
    });
    return 0;
}
