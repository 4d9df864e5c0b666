/* Removing temporary names when a signal ends vqr.
 *
 * Everything the handler touches is set up beforehand in static storage,
 * and the handler itself uses only async-signal-safe calls: folders are
 * listed with the getdents64 system call rather than opendir, which may
 * allocate. vqr runs one thread, so once the handler has run no new
 * temporary file can appear before the signal ends the process.
 */
#define _GNU_SOURCE
#include "vqr_cleanup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { PATH_ROOM = 4096, MAX_WATCHED = 4 };

static const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

static char g_watched[MAX_WATCHED][PATH_ROOM];
static volatile sig_atomic_t g_watched_count;
static char g_scratch_file[PATH_ROOM];
static volatile sig_atomic_t g_has_scratch_file;
static char g_scratch_folder[PATH_ROOM];
static volatile sig_atomic_t g_has_scratch_folder;
static const pid_t *g_children;
static const volatile int *g_child_count;

/* ---- Signal-safe folder walking ---------------------------------------------- */

/* One record of getdents64; glibc declares no type for it. */
typedef struct {
    uint64_t inode;
    int64_t next;
    unsigned short length;
    unsigned char type;
    char name[];
} dir_record;

typedef int (*entry_filter)(const char *name, const void *arg);

/* Unlinks the entries of `dir` that `selected` accepts (all when NULL). */
static void remove_entries(const char *dir, entry_filter selected, const void *arg) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    _Alignas(8) char buf[4096];
    long n;
    while ((n = syscall(SYS_getdents64, fd, buf, sizeof buf)) > 0) {
        for (long at = 0; at < n;) {
            const dir_record *r = (const dir_record *)(buf + at);
            at += r->length;
            if (strcmp(r->name, ".") == 0 || strcmp(r->name, "..") == 0) continue;
            if (!selected || selected(r->name, arg)) unlinkat(fd, r->name, 0);
        }
    }
    close(fd);
}

/* The decimal digits of `v` into `out` (room for 24); its length. */
static size_t format_decimal(unsigned long v, char *out) {
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    for (size_t i = 0; i < n; i++) out[i] = digits[n - 1 - i];
    out[n] = 0;
    return n;
}

/* ".qr-<pid>-<serial>.tmp": the library's temporary name for one write. */
static int is_temp_of(const char *name, const void *arg) {
    const char *prefix = arg;
    size_t len = strlen(prefix);
    if (strncmp(name, prefix, len) != 0) return 0;
    const char *p = name + len;
    const char *digits = p;
    while (*p >= '0' && *p <= '9') p++;
    return p > digits && strcmp(p, ".tmp") == 0;
}

void cleanup_temp_files(const char *dir, pid_t pid) {
    char prefix[40] = ".qr-";
    size_t n = 4 + format_decimal((unsigned long)pid, prefix + 4);
    prefix[n] = '-';
    prefix[n + 1] = 0;
    remove_entries(dir, is_temp_of, prefix);
}

/* ---- The handler ---------------------------------------------------------------- */

static void remove_registered(void) {
    if (g_has_scratch_file) unlink(g_scratch_file);
    if (g_has_scratch_folder) {
        remove_entries(g_scratch_folder, NULL, NULL);
        rmdir(g_scratch_folder);
    }
    for (int i = 0; i < g_watched_count; i++) cleanup_temp_files(g_watched[i], getpid());
}

static void on_signal(int sig) {
    int saved = errno;
    if (g_children)
        for (int i = 0; i < *g_child_count; i++) kill(g_children[i], sig);
    remove_registered();
    /* Dies of the signal as it would have without us: the parent's shell
     * sees the usual status. The signal stays blocked until we return. */
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved;
}

void cleanup_on_signals(void) {
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0]; i++)
        sigaddset(&sa.sa_mask, CLEANUP_SIGNALS[i]);
    for (size_t i = 0; i < sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0]; i++) {
        struct sigaction old;
        /* A signal the shell told us to ignore (a background job's SIGINT)
         * stays ignored. */
        if (sigaction(CLEANUP_SIGNALS[i], NULL, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(CLEANUP_SIGNALS[i], &sa, NULL);
    }
}

/* ---- Registering names ------------------------------------------------------------ */

/* Copies `path` into `slot` and then raises `flag`, so the handler never
 * sees a half-written name. */
static void publish(char *slot, volatile sig_atomic_t *flag, const char *path) {
    *flag = 0;
    if (!path || strlen(path) >= PATH_ROOM) return;
    strcpy(slot, path);
    *flag = 1;
}

void cleanup_watch_folder(const char *dir) {
    if (g_watched_count >= MAX_WATCHED || strlen(dir) >= PATH_ROOM) return;
    strcpy(g_watched[g_watched_count], dir);
    g_watched_count = g_watched_count + 1;
}

void cleanup_watch_folder_of(const char *file) {
    const char *slash = strrchr(file, '/');
    if (!slash) {
        cleanup_watch_folder(".");
        return;
    }
    char dir[PATH_ROOM];
    size_t len = slash == file ? 1 : (size_t)(slash - file);
    if (len >= sizeof dir) return;
    memcpy(dir, file, len);
    dir[len] = 0;
    cleanup_watch_folder(dir);
}

void cleanup_scratch_file(const char *path) { publish(g_scratch_file, &g_has_scratch_file, path); }

void cleanup_scratch_folder(const char *path) {
    publish(g_scratch_folder, &g_has_scratch_folder, path);
}

char *cleanup_make_scratch_folder(char *template) {
    /* A signal between creating the folder and registering it would leave
     * it behind: it waits until both are done. */
    sigset_t block, old;
    sigemptyset(&block);
    for (size_t i = 0; i < sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0]; i++)
        sigaddset(&block, CLEANUP_SIGNALS[i]);
    sigprocmask(SIG_BLOCK, &block, &old);
    char *made = mkdtemp(template);
    if (made) cleanup_scratch_folder(made);
    sigprocmask(SIG_SETMASK, &old, NULL);
    return made;
}

void cleanup_forward_to(const pid_t *pids, const volatile int *count) {
    g_children = NULL;
    g_child_count = count;
    g_children = pids;
}
