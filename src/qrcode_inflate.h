// Deflate streams: measuring one without inflating it (how many bytes it
// would produce, counted symbol by symbol with no output buffer and no
// window, so that a small file promising gigabytes is caught before
// anything holds them), and inflating one into a buffer of known size.
#pragma once

#include <cstddef>
#include <cstdint>

// Hands out the stream's next bytes: their address in *data and their count,
// 0 at the end. Called again only once every byte handed out is used.
using qr_inflate_input = std::size_t (*)(void *user, const unsigned char **data);

enum class qr_inflated_size {
    within,    // the stream ends (or breaks off) having produced at most the limit
    above,     // the stream produces more than the limit
    malformed  // not a stream an inflater could finish; the reader decides
};

// Counts the output of one zlib stream (two header bytes first when
// zlib_header, else raw deflate) up to its final block, stopping as soon as
// the count passes `limit`.
qr_inflated_size qr_inflated_size_within(qr_inflate_input input, void *user, bool zlib_header,
                                         std::uint64_t limit);

enum class qr_inflated {
    complete,  // the final block ended within the input and the buffer
    too_long,  // the stream produces more than the buffer holds
    malformed  // a fault, or a stream that reads past its input
};

// Inflates one zlib stream (as qr_inflated_size_within) into out[0,
// capacity), setting *produced. Complete only when the final block ends
// without reading past the input; the bytes after it are not read.
qr_inflated qr_inflate(qr_inflate_input input, void *user, bool zlib_header, unsigned char *out,
                       std::size_t capacity, std::size_t *produced);
