// Platform layer: locale-independent formatting, the UTC clock (or the
// reproducible-builds time stamp), atomic file replacement and huge-page
// hints.
//
// Formatting switches the calling thread to the "C" locale for the duration
// of one vsnprintf (uselocale is per thread and cheap), so a host that calls
// setlocale(LC_ALL, "de_DE.UTF-8") still gets "0.50" rather than "0,50".
#include "qrcode_platform.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// glibc hands out a static object for the "C" locale, so this allocates
// nothing and needs no release.
locale_t c_locale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

class c_locale_scope {
public:
    c_locale_scope() : previous_(c_locale() ? uselocale(c_locale()) : nullptr) {}
    ~c_locale_scope() {
        if (previous_) uselocale(previous_);
    }
    c_locale_scope(const c_locale_scope &) = delete;
    c_locale_scope &operator=(const c_locale_scope &) = delete;

private:
    locale_t previous_;
};

// ---- Atomic file replacement ----

// The kernel's own limit on links followed while resolving one path.
constexpr int MAX_LINK_HOPS = 40;
// Names tried for the temporary file before giving up on the folder.
constexpr int MAX_TEMP_NAMES = 64;
constexpr mode_t PERMISSION_BITS = 07777;

// Distinguishes the temporary files of one process.
constinit std::atomic<unsigned> g_temp_serial{0};

// The folder part of `path` with its final slash ("" for a bare name).
std::string folder_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows `path` through any chain of symbolic links to the name the data
// lives under, which may not exist yet (a new file, or a dangling link's
// target). Relative link texts count from the link's own folder. False on a
// loop, an unreadable link or a path that cannot be looked up.
bool resolve_links(std::string &path) {
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
        if (!S_ISLNK(st.st_mode)) return true;
        char target[4096];
        const ssize_t n = readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return false;
        const std::string text(target, static_cast<std::size_t>(n));
        path = text[0] == '/' ? text : folder_of(path) + text;
    }
    return false;
}

bool write_all(int fd, const void *bytes, std::size_t len) {
    const auto *p = static_cast<const unsigned char *>(bytes);
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes through to a device or pipe, as opening it for writing would.
qr_write_status write_in_place(const char *path, const void *bytes, std::size_t len) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return qr_write_status::cannot_open;
    const bool written = write_all(fd, bytes, len);
    const bool closed = close(fd) == 0;
    return written && closed ? qr_write_status::ok : qr_write_status::short_write;
}

// Creates a new, empty file beside `target` under a name no one else uses;
// O_EXCL with mode 0666 lets the kernel apply the umask exactly as for any
// new file. -1 when the folder does not take new files.
int create_temp_beside(const std::string &target, std::string *temp) {
    const std::string folder = folder_of(target);
    for (int attempt = 0; attempt < MAX_TEMP_NAMES; ++attempt) {
        *temp = folder + ".qr-" + std::to_string(getpid()) + "-" +
                std::to_string(g_temp_serial.fetch_add(1)) + ".tmp";
        const int fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

// No fsync: the replacement protects against failed writes (a full disk, a
// quota, a file-size limit), which all surface before the rename; flushing
// to the device for durability across a power cut would cost every batch
// item a disk round trip, and a host that needs that can sync the folder.
qr_write_status qr_replace_file(const char *path, const void *bytes, std::size_t len) {
    if (path[0] == '\0') return qr_write_status::cannot_open;
    struct stat existing {};
    const bool exists = stat(path, &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) return write_in_place(path, bytes, len);
    std::string target = path;
    if (!resolve_links(target)) return qr_write_status::cannot_open;
    std::string temp;
    const int fd = create_temp_beside(target, &temp);
    if (fd < 0) return qr_write_status::cannot_open;
    // Our own fresh file: fchmod cannot fail for want of rights.
    if (exists) fchmod(fd, existing.st_mode & PERMISSION_BITS);
    const bool written = write_all(fd, bytes, len);
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        unlink(temp.c_str());
        return qr_write_status::short_write;
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        unlink(temp.c_str());
        return qr_write_status::cannot_open;
    }
    return qr_write_status::ok;
}

int qr_vsnprintf(char *buf, std::size_t size, const char *format, std::va_list args) {
    c_locale_scope scope;
    return std::vsnprintf(buf, size, format, args);
}

int qr_snprintf(char *buf, std::size_t size, const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    const int n = qr_vsnprintf(buf, size, format, args);
    va_end(args);
    return n;
}

std::int64_t qr_clock_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool qr_stamp_clock(std::int64_t *now) {
    // The last second that still has a four-digit year.
    constexpr std::int64_t LAST_STAMP = 253402300799;
    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || epoch[0] == '\0') {
        *now = qr_clock_now();
        return true;
    }
    std::int64_t value = 0;
    for (const char *p = epoch; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > LAST_STAMP) return false;
    }
    *now = value;
    return true;
}

bool qr_utc_fields(std::int64_t seconds, qr_utc_time *out) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm fields{};
    if (gmtime_r(&t, &fields) == nullptr) return false;
    *out = {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
            fields.tm_hour,        fields.tm_min,     fields.tm_sec};
    return true;
}

namespace {

constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
constexpr std::size_t HUGE_HINT_MIN = 4 * HUGE_PAGE;

}  // namespace

void qr_prefer_huge_pages(void *buffer, std::size_t len) noexcept {
    if (!buffer || len < HUGE_HINT_MIN) return;
    const auto start = reinterpret_cast<std::uintptr_t>(buffer);
    const std::uintptr_t first = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t last = (start + len) & ~(HUGE_PAGE - 1);
    if (last > first) madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
}

void *qr_big_malloc(std::size_t len) noexcept {
    void *buffer = std::malloc(len);
    qr_prefer_huge_pages(buffer, len);
    return buffer;
}

void *qr_big_realloc(void *buffer, std::size_t len) noexcept {
    void *moved = std::realloc(buffer, len);
    qr_prefer_huge_pages(moved, len);
    return moved;
}
