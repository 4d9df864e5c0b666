/* The temporary names vqr and the library create for it, removed when a
 * signal ends the tool early. */
#ifndef VQR_CLEANUP_H
#define VQR_CLEANUP_H

#include <sys/types.h>

/* Ignores SIGXFSZ, so that a file-size limit fails a write ("short write")
 * instead of killing the tool, and makes SIGINT, SIGTERM and SIGHUP remove
 * what the functions below registered before the tool dies of the signal. */
void cleanup_on_signals(void);

/* A folder where the library may be writing its temporary files (named
 * after the writing process's id): on a signal, the process's own ones are
 * removed. A few folders can be registered; later ones beyond that are
 * not watched. */
void cleanup_watch_folder(const char *dir);
/* The folder of the file `file` will be written to. */
void cleanup_watch_folder_of(const char *file);

/* A scratch file or folder of the tool's own, removed (a folder with its
 * entries) on a signal; NULL once it is gone. */
void cleanup_scratch_file(const char *path);
void cleanup_scratch_folder(const char *path);
/* mkdtemp(template), registered as the scratch folder in the same step. */
char *cleanup_make_scratch_folder(char *template);

/* Child processes that receive the signal the tool receives: `pids` stays
 * the caller's, and its first `*count` entries are read at signal time.
 * NULL (in a child, which has none) forgets them. */
void cleanup_forward_to(const pid_t *pids, const volatile int *count);

/* Removes the library's temporary files of process `pid` in `dir`; safe to
 * call from a signal handler. */
void cleanup_temp_files(const char *dir, pid_t pid);

#endif
