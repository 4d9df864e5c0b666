// Checks the plain PNG reader against stb_image on arbitrary files: every
// file the plain reader decodes, stb must decode to the same size and the
// same pixels (palette indices past the palette aside: stb reads
// uninitialised memory for those, the plain reader gives opaque black).
// Seed it with PNG files (fuzz/corpus/decode holds one).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qrcode_png_read.h"

// A private copy of the image loader, as the reference.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > (std::size_t{1} << 20)) return 0;
    unsigned char *ours = nullptr;
    int width = 0;
    int height = 0;
    if (!qr_png_decode_plain(data, size, &ours, &width, &height)) return 0;
    int w = 0;
    int h = 0;
    int channels = 0;
    unsigned char *theirs =
        stbi_load_from_memory(data, static_cast<int>(size), &w, &h, &channels, 4);
    if (!theirs || w != width || h != height) std::abort();
    const bool palette = data[25] == 3;  // the IHDR's colour type
    for (std::size_t i = 0;
         i < std::size_t{4} * static_cast<std::size_t>(w) * static_cast<std::size_t>(h); i += 4) {
        const bool black =
            ours[i] == 0 && ours[i + 1] == 0 && ours[i + 2] == 0 && ours[i + 3] == 255;
        if (palette && black) continue;
        if (std::memcmp(ours + i, theirs + i, 4) != 0) std::abort();
    }
    std::free(ours);
    std::free(theirs);
    return 0;
}
