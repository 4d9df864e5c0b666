/* Removing temporary names when a signal ends vqr.
 *
 * Everything the handler touches is set up beforehand in static storage,
 * and the handler itself uses only async-signal-safe calls: folders are
 * listed with the getdents64 system call rather than opendir, which may
 * allocate. A batch writes on several threads: the handler first holds
 * every other thread where it is, so that no new temporary file can appear
 * between the removal and the end of the process.
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
#include <time.h>
#include <unistd.h>

enum { PATH_ROOM = 4096, MAX_WATCHED = 4 };

static const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

static char g_watched[MAX_WATCHED][PATH_ROOM];
static volatile sig_atomic_t g_watched_count;
static char g_scratch_file[PATH_ROOM];
static volatile sig_atomic_t g_has_scratch_file;
static volatile sig_atomic_t g_stopping;
static int g_held; /* threads held by hold_thread, counted atomically */

/* Sent to the other threads to hold them; no one else sends it. */
#define HOLD_SIGNAL SIGRTMIN

/* ---- Signal-safe folder walking ---------------------------------------------- */

/* One record of getdents64; glibc declares no type for it. */
typedef struct {
    uint64_t inode;
    int64_t next;
    unsigned short length;
    unsigned char type;
    char name[];
} dir_record;

typedef void (*entry_visitor)(int dir_fd, const char *name, void *arg);

/* Calls `visit` for every entry of `dir` but "." and "..". */
static void walk_entries(const char *dir, entry_visitor visit, void *arg) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    _Alignas(8) char buf[4096];
    long n;
    while ((n = syscall(SYS_getdents64, fd, buf, sizeof buf)) > 0) {
        for (long at = 0; at < n;) {
            const dir_record *r = (const dir_record *)(buf + at);
            at += r->length;
            if (strcmp(r->name, ".") != 0 && strcmp(r->name, "..") != 0) visit(fd, r->name, arg);
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

/* ".qr-<pid>-<serial>.tmp": the library's temporary name for one write,
 * with `prefix` ".qr-<pid>-". */
static int is_temp_of(const char *name, const char *prefix) {
    size_t len = strlen(prefix);
    if (strncmp(name, prefix, len) != 0) return 0;
    const char *p = name + len;
    const char *digits = p;
    while (*p >= '0' && *p <= '9') p++;
    return p > digits && strcmp(p, ".tmp") == 0;
}

static void remove_temp(int dir_fd, const char *name, void *prefix) {
    if (is_temp_of(name, prefix)) unlinkat(dir_fd, name, 0);
}

/* Removes this process's temporary files in `dir`. */
static void remove_temp_files(const char *dir) {
    char prefix[40] = ".qr-";
    size_t n = 4 + format_decimal((unsigned long)getpid(), prefix + 4);
    prefix[n] = '-';
    prefix[n + 1] = 0;
    walk_entries(dir, remove_temp, prefix);
}

/* ---- Holding the other threads ------------------------------------------------- */

/* Runs on a thread told to hold: it stays here until the process ends. A
 * hold signal from outside ends the process as it would by default. */
static void hold_thread(int sig) {
    if (!g_stopping) {
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    __atomic_add_fetch(&g_held, 1, __ATOMIC_SEQ_CST);
    for (;;) pause();
}

static void signal_thread(int dir_fd, const char *name, void *sent) {
    (void)dir_fd;
    unsigned long tid = 0;
    for (const char *p = name; *p >= '0' && *p <= '9'; p++)
        tid = tid * 10 + (unsigned long)(*p - '0');
    if (tid && (pid_t)tid != gettid() &&
        syscall(SYS_tgkill, getpid(), (pid_t)tid, HOLD_SIGNAL) == 0)
        ++*(int *)sent;
}

/* Holds every other thread of the process where it is. A thread that is
 * ending (it blocks all signals and writes nothing more) never answers:
 * the wait for answers is bounded. */
static void hold_other_threads(void) {
    enum { WAIT_STEPS = 200 }; /* of a millisecond each */
    g_stopping = 1;
    int sent = 0;
    walk_entries("/proc/self/task", signal_thread, &sent);
    const struct timespec step = {0, 1000000};
    for (int i = 0; i < WAIT_STEPS && __atomic_load_n(&g_held, __ATOMIC_SEQ_CST) < sent; i++)
        nanosleep(&step, NULL);
}

/* ---- The handler ---------------------------------------------------------------- */

static void remove_registered(void) {
    if (g_has_scratch_file) unlink(g_scratch_file);
    for (int i = 0; i < g_watched_count; i++) remove_temp_files(g_watched[i]);
}

static void on_signal(int sig) {
    int saved = errno;
    hold_other_threads();
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
    /* A thread removing names is never held itself, even when two threads
     * take ending signals at once. */
    sigaddset(&sa.sa_mask, HOLD_SIGNAL);
    for (size_t i = 0; i < sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0]; i++) {
        struct sigaction old;
        /* A signal the shell told us to ignore (a background job's SIGINT)
         * stays ignored. */
        if (sigaction(CLEANUP_SIGNALS[i], NULL, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(CLEANUP_SIGNALS[i], &sa, NULL);
    }
    signal(HOLD_SIGNAL, hold_thread);
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
