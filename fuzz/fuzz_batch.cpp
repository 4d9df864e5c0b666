// Batch encoding of arbitrary JSON text into a fresh folder. Items are drawn
// at one pixel per module without quiet zone to keep each run short. Checks:
// the result is -1 with a batch message or the item count, and every file
// written is a plain, cleaned name inside the folder (no more files than
// items). The folder is emptied and removed after every input.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vantelor_qrcode.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Removes every entry of `dir` and returns how many there were; each must
// be a cleaned file name.
int empty_folder(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    check(d != nullptr);
    int files = 0;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        check(name.find_first_of("\\:\n") == std::string::npos);
        check(name.size() <= 255);
        check(unlink((dir + "/" + name).c_str()) == 0);
        ++files;
    }
    closedir(d);
    return files;
}

}  // namespace

// The entry point libFuzzer calls (declared here: no fuzzer header is used).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string json(reinterpret_cast<const char *>(data), size);
    char dir[] = "/tmp/vqr_fuzz_batch_XXXXXX";
    check(mkdtemp(dir) != nullptr);
    qr_init();
    const int rc = qr_encode_batch(json.c_str(), dir, 0, 1, 0);
    const int files = empty_folder(dir);
    check(rmdir(dir) == 0);
    if (rc == -1) {
        check(std::strncmp(qr_last_error(), "qr_encode_batch: ", 17) == 0);
    } else {
        check(rc >= 1 && rc <= 10000);
        check(files >= 1 && files <= rc);
    }
    qr_cleanup();
    return 0;
}
