/* An outside program that uses the installed library: styles a code, writes
 * it as a PNG and reads it back.
 *
 *   consumer OUT.png TEXT
 *
 * Prints "decoded: <text>" and exits 0 when the code was written (exit 1
 * otherwise), so the caller can check both the file and the read-back. */
#include <stdio.h>
#include <vantelor_qrcode.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s OUT.png TEXT\n", argv[0]);
        return 2;
    }
    qr_init();
    if (qr_apply_preset("modern") != 1 || qr_encode_to_file(argv[2], argv[1], 2, 6, 4) != 1) {
        fprintf(stderr, "%s\n", qr_last_error());
        return 1;
    }
    printf("decoded: %s\n", qr_decode_from_file(argv[1]));
    qr_cleanup();
    return 0;
}
