// Batch encoding from a JSON array, and the file name each item gets.
#pragma once

#include <cstddef>

#include "qrcode_encode.h"
#include "qrcode_types.h"

inline constexpr std::size_t QR_BATCH_NAME_CAP = 256;
inline constexpr qr_error QR_BATCH_ITEM_FAILED =
    "qr_encode_batch: encode failed for an item (see message before this)";

// The output file name of an item whose "filename" is `filename` (null when
// it has none, or not a string): "qr.png" unless it is a non-empty string,
// which is cut to 255 bytes (at its first NUL at the latest), cleaned of
// path separators, colons and line feeds, and given ".png" when short and
// without a period.
void qr_batch_item_file_name(const char *filename, char (&name)[QR_BATCH_NAME_CAP]);
// Encodes every item of the JSON array `json` into `out_dir` in `style`
// (args.text is ignored); stops at the first failing item. The number of
// items goes to *count.
qr_error qr_batch_encode(const qr_style &style, const char *json, const char *out_dir,
                         const qr_encode_args &args, int *count);
