/* vqr batch: one JSON array of items spread over worker threads. */
#ifndef VQR_BATCH_H
#define VQR_BATCH_H

#include <stddef.h>

typedef struct {
    const char *dir;
    int level, module_size, quiet_zone;
    int jobs;                     /* worker threads; 0: one per core */
    int shard_index, shard_count; /* take the items whose index is index mod count */
    int progress;                 /* draw a progress bar on stderr */
    const char *prefix;           /* starts every message, e.g. "vqr batch" */
} batch_job;

/* Which item goes to which worker, decided before any code is drawn. */
typedef struct {
    void *doc;     /* the parsed array (yyjson_doc) */
    void **values; /* its items (yyjson_val) */
    size_t count;  /* items in the array */
    char **names;  /* per item: the name of the file the library writes, or NULL */
    size_t *items; /* the shard's item indices, worker by worker, each in array order */
    size_t *start; /* worker w takes items[start[w]] .. items[start[w + 1] - 1] */
    int workers;
} batch_plan;

/* Parses the array and assigns the shard's items to workers, so that items
 * writing the same file go to the same worker in array order, asking the
 * library for each item's file name. Returns 0; -1 when the
 * library refuses the array as a whole (nothing is written; qr_last_error
 * says why); -2 when the system fails (errno says why). */
int batch_plan_make(const char *json, const batch_job *job, batch_plan *plan);
void batch_plan_free(batch_plan *plan);

typedef struct {
    size_t written, failed;
    double seconds;
} batch_outcome;

/* Encodes the planned items with the current style; failed items are listed
 * on stderr with their index and message. Returns 0, or -1 (errno set) when
 * no worker could be started. */
int batch_plan_run(const batch_plan *plan, const batch_job *job, batch_outcome *outcome);

#endif
