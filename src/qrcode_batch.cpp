// Batch encoding: a JSON array of {text, filename} items, each drawn into
// its own PNG file in one output folder, in array order.
#include "qrcode_batch.h"

#include <yyjson.h>

#include <cstring>
#include <memory>

#include "qrcode_platform.h"

namespace {

constexpr std::size_t BATCH_MAX_ITEMS = 10000;
constexpr std::size_t BATCH_PATH_CAP = 1024;
// A cleaned name up to this long without a period gets ".png" appended.
constexpr std::size_t BATCH_NAME_EXT_MAX = 250;

struct json_doc_deleter {
    void operator()(yyjson_doc *doc) const noexcept { yyjson_doc_free(doc); }
};
using json_doc = std::unique_ptr<yyjson_doc, json_doc_deleter>;

// The item's "filename" when it is a string, else null.
const char *filename_of(yyjson_val *item) {
    yyjson_val *member = yyjson_obj_get(item, "filename");
    return yyjson_is_str(member) ? yyjson_get_str(member) : nullptr;
}

// Encodes one item in `style`.
qr_error batch_item(const qr_style &style, yyjson_val *item, const char *out_dir,
                    qr_encode_args args) {
    if (!yyjson_is_obj(item)) return "qr_encode_batch: array element is not an object";
    yyjson_val *text = yyjson_obj_size(item) > 0 ? yyjson_obj_get(item, "text") : nullptr;
    if (!yyjson_is_str(text)) return "qr_encode_batch: item missing string \"text\"";
    const char *text_str = yyjson_get_str(text);
    if (text_str[0] == '\0') return "qr_encode_batch: item with empty text";
    // An escaped NUL would cut the text short: what got encoded would not
    // be what the item asked for.
    if (std::strlen(text_str) != yyjson_get_len(text))
        return "qr_encode_batch: item text contains a NUL byte";
    char name[QR_BATCH_NAME_CAP];
    qr_batch_item_file_name(filename_of(item), name);
    char path[BATCH_PATH_CAP];
    const int n = qr_snprintf(path, sizeof path, "%s/%s", out_dir, name);
    // A cut path would name another file, possibly outside out_dir.
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path)
        return "qr_encode_batch: output path too long (max 1023 bytes)";
    args.text = text_str;
    if (qr_encode_png_file(style, args, path) != QR_OK) return QR_BATCH_ITEM_FAILED;
    return QR_OK;
}

}  // namespace

void qr_batch_item_file_name(const char *filename, char (&name)[QR_BATCH_NAME_CAP]) {
    std::memcpy(name, "qr.png", sizeof "qr.png");
    if (!filename) return;
    const std::size_t n = strnlen(filename, QR_BATCH_NAME_CAP - 1);
    if (n == 0) return;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = filename[i];
        name[i] = (c == '/' || c == '\\' || c == ':' || c == '\n') ? '_' : c;
    }
    name[n] = '\0';
    if (n <= BATCH_NAME_EXT_MAX && !std::memchr(name, '.', n)) {
        std::memcpy(name + n, ".png", sizeof ".png");
    }
}

qr_error qr_batch_encode(const qr_style &style, const char *json, const char *out_dir,
                         const qr_encode_args &args, int *count) {
    if (!json || !out_dir) return "qr_encode_batch: NULL argument";
    // "" + "/" + name would write at the filesystem root.
    if (out_dir[0] == '\0') return "qr_encode_batch: empty output directory";
    // Without the in-situ flag yyjson only reads the text, so dropping const
    // is safe. No flags: strict RFC 8259 JSON, valid UTF-8, nothing after.
    const json_doc doc(
        yyjson_read_opts(const_cast<char *>(json), std::strlen(json), 0, nullptr, nullptr));
    if (!doc) return "qr_encode_batch: invalid JSON input";
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_arr(root))
        return "qr_encode_batch: JSON input must be an array of {text,filename}";
    const std::size_t items = yyjson_arr_size(root);
    if (items == 0) return "qr_encode_batch: empty array";
    if (items > BATCH_MAX_ITEMS) return "qr_encode_batch: array too large (max 10000)";
    yyjson_arr_iter iter = yyjson_arr_iter_with(root);
    while (yyjson_val *item = yyjson_arr_iter_next(&iter)) {
        if (const qr_error e = batch_item(style, item, out_dir, args)) return e;
    }
    *count = static_cast<int>(items);
    return QR_OK;
}
