/* A minimal host: writes a few QR codes as PNG files into a folder.
 *
 *   vqr_example OUT_DIR
 */
#include <stdio.h>
#include <stdlib.h>
#include <vantelor_qrcode.h>

static int write_one(const char *dir, const char *name, const char *text) {
    char path[1024];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    if (qr_encode_to_file(text, path, 1, 8, 4) != 1) {
        fprintf(stderr, "%s: %s\n", path, qr_last_error());
        return 1;
    }
    printf("%s  <- \"%s\"\n", path, text);
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
        return 2;
    }
    qr_init();
    int failures = 0;
    failures += write_one(argv[1], "hello.png", "Hello, world!");
    failures += write_one(argv[1], "url.png", "https://example.org/vantelor-qrcode");
    failures += write_one(argv[1], "utf8.png",
                          "Gr\xc3\xbc\xc3\x9f"
                          "e aus K\xc3\xb6ln");
    qr_cleanup();
    return failures ? EXIT_FAILURE : EXIT_SUCCESS;
}
