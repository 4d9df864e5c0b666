/* The temporary names vqr and the library create for it, removed when a
 * signal ends the tool early. */
#ifndef VQR_CLEANUP_H
#define VQR_CLEANUP_H

/* Ignores SIGXFSZ, so that a file-size limit fails a write ("short write")
 * instead of killing the tool, and makes SIGINT, SIGTERM and SIGHUP remove
 * what the functions below registered before the tool dies of the signal,
 * holding its other threads meanwhile. */
void cleanup_on_signals(void);

/* A folder where the library may be writing its temporary files (named
 * after the writing process's id): on a signal, the process's own ones are
 * removed. A few folders can be registered; later ones beyond that are
 * not watched. */
void cleanup_watch_folder(const char *dir);
/* The folder of the file `file` will be written to. */
void cleanup_watch_folder_of(const char *file);

/* A scratch file of the tool's own, removed on a signal; NULL once it is
 * gone. */
void cleanup_scratch_file(const char *path);

#endif
