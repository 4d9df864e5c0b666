/* vqr batch: the items of one JSON array spread over worker threads.
 *
 * The library draws on several threads at once, so the workers are threads
 * of this process: no fork, no per-worker set-up. Every item's file name
 * is the library's own, asked for before the run. A worker then writes an item it can name with
 * qr_encode_to_file, whose message tells why a write failed ("short write"); any other item goes to
 * the library as a one-element array, so that its checks and messages stay
 * the library's.
 * Items that write the same file must be written in array order, so that
 * the last one wins as it does in a single process: they are planned onto
 * one worker, and every worker takes its items in array order. Workers
 * report each item through one pipe, in records small enough to be
 * written atomically.
 */
#define _GNU_SOURCE
#include "vqr_batch.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <vantelor_qrcode.h>
#include <yyjson.h>

/* The library refuses larger arrays as a whole, and longer item paths. */
enum { MAX_BATCH_ITEMS = 10000, MAX_ITEM_PATH = 1024 };

/* ---- File names ------------------------------------------------------------ */

/* Wraps a serialised value as "[value]"; takes ownership of `json`. */
static char *bracket(char *json, size_t len) {
    char *array = json ? malloc(len + 3) : NULL;
    if (array) {
        array[0] = '[';
        memcpy(array + 1, json, len);
        array[len + 1] = ']';
        array[len + 2] = 0;
    }
    free(json);
    return array;
}

static char *single_item_array(yyjson_val *item) {
    size_t len = 0;
    char *json = yyjson_val_write(item, 0, &len);
    return bracket(json, len);
}

/* ---- The plan ---------------------------------------------------------------- */

typedef struct {
    char *name; /* NULL: unknown, shared with no other item */
    size_t index;
} named_item;

static int same_file(const named_item *x, const named_item *y) {
    return x->name && y->name && strcmp(x->name, y->name) == 0;
}

static int by_name_then_index(const void *a, const void *b) {
    const named_item *x = a, *y = b;
    if (x->name && y->name) {
        int c = strcmp(x->name, y->name);
        if (c != 0) return c;
    } else if (x->name || y->name) {
        return x->name ? -1 : 1;
    }
    return (x->index > y->index) - (x->index < y->index);
}

/* The name of the file the library's batch writes for an object item, or
 * NULL for one that names a folder ("." or ".."): that item is left to
 * the library's batch, which says why it cannot be written. */
static const char *file_name_of(yyjson_val *item) {
    yyjson_val *filename = yyjson_obj_get(item, "filename");
    const char *name =
        qr_batch_file_name(yyjson_is_str(filename) ? yyjson_get_str(filename) : NULL);
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ? NULL : name;
}

/* Names the file of every selected item; `named` holds `n` entries. */
static int name_items(const batch_plan *plan, named_item *named, size_t n) {
    for (size_t k = 0; k < n; k++) {
        yyjson_val *item = plan->values[named[k].index];
        const char *name = yyjson_is_obj(item) ? file_name_of(item) : NULL;
        if (name && !(named[k].name = strdup(name))) return -1;
    }
    return 0;
}

static int default_jobs(void) {
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores > 0 ? (int)cores : 1;
}

/* Puts each group of items writing the same file on the least loaded
 * worker, then lists every worker's items in array order. */
static int assign_workers(batch_plan *plan, named_item *named, size_t n, const batch_job *job) {
    int jobs = job->jobs > 0 ? job->jobs : default_jobs();
    qsort(named, n, sizeof *named, by_name_then_index);
    size_t groups = 0;
    for (size_t k = 0; k < n; k++) groups += k == 0 || !same_file(&named[k - 1], &named[k]);
    plan->workers = (size_t)jobs < groups ? jobs : (int)(groups ? groups : 1);
    int *owner = malloc(plan->count * sizeof *owner);
    size_t *load = calloc((size_t)plan->workers + 1, sizeof *load);
    plan->start = calloc((size_t)plan->workers + 1, sizeof *plan->start);
    plan->items = malloc((n ? n : 1) * sizeof *plan->items);
    if (!owner || !load || !plan->start || !plan->items) {
        free(owner);
        free(load);
        return -1;
    }
    int w = 0;
    for (size_t k = 0; k < n; k++) {
        if (k == 0 || !same_file(&named[k - 1], &named[k]))
            for (int v = w = 0; v < plan->workers; v++)
                if (load[v] < load[w]) w = v;
        owner[named[k].index] = w;
        load[w]++;
    }
    for (int v = 0; v < plan->workers; v++) plan->start[v + 1] = plan->start[v] + load[v];
    memcpy(load, plan->start, (size_t)plan->workers * sizeof *load);
    for (size_t i = (size_t)job->shard_index; i < plan->count; i += (size_t)job->shard_count)
        plan->items[load[owner[i]]++] = i;
    free(owner);
    free(load);
    return 0;
}

void batch_plan_free(batch_plan *plan) {
    yyjson_doc_free(plan->doc);
    free(plan->values);
    for (size_t i = 0; plan->names && i < plan->count; i++) free(plan->names[i]);
    free(plan->names);
    free(plan->items);
    free(plan->start);
    memset(plan, 0, sizeof *plan);
}

static int plan_shard(batch_plan *plan, const batch_job *job) {
    size_t n = 0;
    for (size_t i = (size_t)job->shard_index; i < plan->count; i += (size_t)job->shard_count) n++;
    named_item *named = calloc(n ? n : 1, sizeof *named);
    if (!named) return -1;
    for (size_t k = 0; k < n; k++)
        named[k].index = (size_t)job->shard_index + k * (size_t)job->shard_count;
    int rc = name_items(plan, named, n);
    if (rc == 0) rc = assign_workers(plan, named, n, job);
    for (size_t k = 0; k < n; k++) plan->names[named[k].index] = named[k].name;
    free(named);
    return rc;
}

int batch_plan_make(const char *json, const batch_job *job, batch_plan *plan) {
    memset(plan, 0, sizeof *plan);
    yyjson_doc *doc = yyjson_read(json, strlen(json), 0);
    yyjson_val *root = yyjson_doc_get_root(doc);
    size_t count = yyjson_arr_size(root);
    if (!yyjson_is_arr(root) || count == 0 || count > MAX_BATCH_ITEMS) {
        /* The library says what is wrong with the array, before writing anything. */
        yyjson_doc_free(doc);
        if (qr_encode_batch(json, job->dir, job->level, job->module_size, job->quiet_zone) < 0)
            return -1;
        /* Read the same way, the library cannot accept it; should it, it has
         * done the whole batch and nothing is left to plan. */
        plan->workers = 1;
        plan->start = calloc(2, sizeof *plan->start);
        return plan->start ? 0 : -2;
    }
    plan->doc = doc;
    plan->count = count;
    plan->values = calloc(count, sizeof *plan->values);
    plan->names = calloc(count, sizeof *plan->names);
    if (!plan->values || !plan->names) return -2;
    size_t i, max;
    yyjson_val *item;
    yyjson_arr_foreach(root, i, max, item) plan->values[i] = item;
    return plan_shard(plan, job) == 0 ? 0 : -2;
}

/* ---- Workers ------------------------------------------------------------------ */

/* One item's result; well under PIPE_BUF, so concurrent writes never mix. */
typedef struct {
    size_t index;
    int ok;
    char message[244];
} item_report;

static int write_report(int fd, const item_report *r) {
    ssize_t n;
    while ((n = write(fd, r, sizeof *r)) < 0 && errno == EINTR) {}
    return n == (ssize_t)sizeof *r ? 0 : -1;
}

/* 1 when a whole report was read, 0 at the end of the pipe. */
static int read_report(int fd, item_report *r) {
    size_t got = 0;
    while (got < sizeof *r) {
        ssize_t n = read(fd, (char *)r + got, sizeof *r - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        got += (size_t)n;
    }
    return 1;
}

/* The text of an item the library would encode: a non-empty string member
 * "text" of an object, holding no NUL. */
static const char *item_text(yyjson_val *item) {
    yyjson_val *member = yyjson_obj_get(item, "text");
    const char *text = yyjson_get_str(member);
    return text && *text && strlen(text) == yyjson_get_len(member) ? text : NULL;
}

/* Writes one item as the library's batch would; 1 on success, else 0 with
 * `message` saying why. */
static int encode_item(const batch_plan *plan, const batch_job *job, size_t i, char *message,
                       size_t size) {
    const char *text = item_text(plan->values[i]);
    char path[MAX_ITEM_PATH];
    int ok;
    if (text && plan->names[i] &&
        (size_t)snprintf(path, sizeof path, "%s/%s", job->dir, plan->names[i]) < sizeof path) {
        ok = qr_encode_to_file(text, path, job->level, job->module_size, job->quiet_zone) == 1;
    } else {
        char *json = single_item_array(plan->values[i]);
        if (!json) {
            snprintf(message, size, "out of memory");
            return 0;
        }
        ok = qr_encode_batch(json, job->dir, job->level, job->module_size, job->quiet_zone) == 1;
        free(json);
    }
    if (!ok) snprintf(message, size, "%s", qr_last_error());
    return ok;
}

/* One worker thread: its share of the plan, and its own descriptor of the
 * report pipe, closed when it is done so that the reader sees the end of
 * the pipe once every worker has finished. */
typedef struct {
    const batch_plan *plan;
    const batch_job *job;
    int w, fd;
} worker;

static void *run_worker(void *arg) {
    const worker *me = arg;
    const batch_plan *plan = me->plan;
    for (size_t k = plan->start[me->w]; k < plan->start[me->w + 1]; k++) {
        item_report r = {plan->items[k], 0, ""};
        r.ok = encode_item(plan, me->job, r.index, r.message, sizeof r.message);
        if (write_report(me->fd, &r) != 0) break;
    }
    close(me->fd);
    return NULL;
}

/* Starts the worker threads writing to `fd`; returns how many started
 * (errno says why one could not). */
static int start_workers(const batch_plan *plan, const batch_job *job, int fd, worker *workers,
                         pthread_t *threads) {
    int started = 0;
    for (int w = 0; w < plan->workers; w++) {
        workers[started] = (worker){plan, job, w, dup(fd)};
        if (workers[started].fd < 0) continue;
        int rc = pthread_create(&threads[started], NULL, run_worker, &workers[started]);
        if (rc == 0) {
            started++;
        } else {
            close(workers[started].fd);
            errno = rc;
        }
    }
    return started;
}

/* ---- Progress ------------------------------------------------------------------ */

static double seconds_since(const struct timespec *t0) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - t0->tv_sec) + (double)(now.tv_nsec - t0->tv_nsec) / 1e9;
}

static void draw_progress(const char *prefix, size_t done, size_t total, double elapsed) {
    enum { WIDTH = 30 };
    static const char BAR[] = "##############################";
    static const char ROOM[] = "..............................";
    int filled = total ? (int)((double)WIDTH * (double)done / (double)total) : WIDTH;
    double rate = elapsed > 0 ? (double)done / elapsed : 0.0;
    fprintf(stderr, "\r%s: [%.*s%.*s] %zu/%zu  %.1f/s", prefix, filled, BAR, WIDTH - filled, ROOM,
            done, total, rate);
    if (rate > 0 && done < total) {
        long left = (long)((double)(total - done) / rate + 0.5);
        fprintf(stderr, "  %ld:%02ld left", left / 60, left % 60);
    }
    fputs("\033[K", stderr); /* clears what a longer earlier line left */
}

/* ---- Running the plan ------------------------------------------------------------ */

enum { ITEM_SKIPPED, ITEM_PENDING, ITEM_WRITTEN, ITEM_FAILED };

typedef struct {
    unsigned char *state; /* per array index */
    char (*message)[244]; /* per array index, for failed items */
} item_states;

/* Reads the workers' reports until every worker has closed the pipe. */
static void collect_reports(int fd, const batch_job *job, size_t total, item_states *s,
                            const struct timespec *t0) {
    size_t done = 0;
    double drawn = -1.0;
    item_report r;
    while (read_report(fd, &r)) {
        if (s->state[r.index] != ITEM_PENDING) continue;
        s->state[r.index] = r.ok ? ITEM_WRITTEN : ITEM_FAILED;
        memcpy(s->message[r.index], r.message, sizeof r.message);
        done++;
        double t = seconds_since(t0);
        if (job->progress && (t - drawn >= 0.1 || done == total)) {
            draw_progress(job->prefix, done, total, t);
            drawn = t;
        }
    }
    if (job->progress) fputc('\n', stderr);
}

/* Lists the failed items in array order; an item no worker reported on
 * failed with its worker. */
static void list_failures(const batch_plan *plan, const batch_job *job, item_states *s,
                          batch_outcome *out) {
    for (size_t i = 0; i < plan->count; i++) {
        if (s->state[i] == ITEM_WRITTEN) out->written++;
        if (s->state[i] != ITEM_FAILED && s->state[i] != ITEM_PENDING) continue;
        out->failed++;
        const char *why =
            s->state[i] == ITEM_FAILED ? s->message[i] : "not written: its worker stopped";
        if (plan->names[i])
            fprintf(stderr, "%s: item %zu (%s/%s): %s\n", job->prefix, i, job->dir, plan->names[i],
                    why);
        else
            fprintf(stderr, "%s: item %zu: %s\n", job->prefix, i, why);
    }
}

int batch_plan_run(const batch_plan *plan, const batch_job *job, batch_outcome *out) {
    memset(out, 0, sizeof *out);
    struct timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    size_t total = plan->start[plan->workers];
    item_states s = {calloc(plan->count, 1), calloc(plan->count, sizeof *s.message)};
    worker *workers = calloc((size_t)plan->workers, sizeof *workers);
    pthread_t *threads = calloc((size_t)plan->workers, sizeof *threads);
    int fds[2] = {-1, -1};
    int rc = s.state && s.message && workers && threads && pipe(fds) == 0 ? 0 : -1;
    if (rc == 0) {
        for (size_t k = 0; k < total; k++) s.state[plan->items[k]] = ITEM_PENDING;
        int started = start_workers(plan, job, fds[1], workers, threads);
        int saved = errno;
        close(fds[1]);
        if (started > 0) collect_reports(fds[0], job, total, &s, &t0);
        close(fds[0]);
        for (int w = 0; w < started; w++) pthread_join(threads[w], NULL);
        errno = saved;
        if (started == 0 && total > 0)
            rc = -1;
        else
            list_failures(plan, job, &s, out);
    }
    out->seconds = seconds_since(&t0);
    free(threads);
    free(workers);
    free(s.state);
    free(s.message);
    return rc;
}
