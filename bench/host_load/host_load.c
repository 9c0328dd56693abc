/* What a host that is no C++ program sees of a storage-driver plug-in: this
 * process has only the C library, the dynamic loader and libgcc_s.so.1
 * mapped, as a Rust host has, so whatever else the plug-in needs it brings
 * and pays for itself.
 *
 *   bench_host_load PLUGIN [PLUGIN_B] [--rounds N] [--batches N] [--calls N]
 *   bench_host_load --once ctor|new_valid|new_refused|at_root PLUGIN
 *
 * Loading: every sample is a fresh process of this program (its creation is
 * not timed) that loads the plug-in the way the framework's loader does and
 * times each step with CLOCK_MONOTONIC: dlopen (RTLD_NOW | RTLD_LOCAL);
 * finding and reading the library header (magic, ABI numbers, version text);
 * the C-ABI self-test; handing over the globals and building the root module
 * under the header's lock; then the first `new` and drop of a driver. The
 * layout-graph comparison a host also makes is not done here (see
 * bench/plugin_load for it).
 *
 * Calls: a process loads the plug-in once, warms up, and times one batch of
 * --calls calls of each operation: `new` with valid parameters (four media)
 * and the drop of the driver; `new` refused for a type error and the drop of
 * the error; `at_root` of a short relative path on one driver, the answer
 * dropped. The table shows the median per call over --batches processes.
 *
 * With two plug-ins, the samples alternate A, B, A, B... so that a busy
 * machine slows both alike; the table adds B/A.
 *
 * --once loads the plug-in, runs OP once to warm up and then exactly once
 * more inside measured_OP (never inlined), so that
 *   valgrind --tool=callgrind --toggle-collect=measured_new_valid ...
 * counts that one call alone (instructions.sh does this for all four). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "plugin_records.h"

extern char **environ;

#define MEASURED __attribute__((noinline, noipa, used))

/* Parameters `new` accepts without touching any device (it only decodes
 * them), and parameters it refuses for a type error. */
static const char kValidParams[] =
    "{\"bin_dir\":\"\",\"media\":{\"inner\":["
    "{\"Block\":{\"inner\":\"/dev/null0\"}},{\"Block\":{\"inner\":\"/dev/null1\"}},"
    "{\"Block\":{\"inner\":\"/dev/null2\"}},{\"Block\":{\"inner\":\"/dev/null3\"}}"
    "]},\"root\":\"/nonexistent/lmfs-bench\"}";
static const char kRefusedParams[] = "{\"bin_dir\":\"\",\"media\":{\"inner\":[]},\"root\":5}";
static const char kAtRootPath[] = "a/b";

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void die(const char *what, const char *why) {
  fprintf(stderr, "bench_host_load: %s: %s\n", what, why);
  exit(1);
}

/* ---------------------------------------------------------------- our texts
 *
 * The parameters of `new` are this process's RString, given to the plug-in,
 * which releases them through the table they carry: these functions. */

static int host_identity; /* its address names this binary */

static UTypeId host_type_id(void) {
  UTypeId id;
  memset(&id, 0, sizeof id);
  id.executable_identity = &host_identity;
  return id;
}

static void host_vec_destructor(RVecU8 *v) {
  if (v->capacity != 0) free(v->buffer);
}

static void host_vec_set_capacity(RVecU8 *v, size_t capacity) {
  if (capacity == 0) {
    if (v->capacity != 0) free(v->buffer);
    v->buffer = (uint8_t *)1; /* empty: dangling, never null */
  } else {
    void *p = realloc(v->capacity != 0 ? v->buffer : NULL, capacity);
    if (p == NULL) die("realloc", strerror(errno));
    v->buffer = p;
  }
  v->capacity = capacity;
}

static void host_vec_grow(RVecU8 *v, size_t capacity, uint32_t exactness) {
  if (capacity <= v->capacity) return;
  if (exactness == 1 && capacity < 2 * v->capacity) capacity = 2 * v->capacity;
  host_vec_set_capacity(v, capacity);
}

static void host_vec_shrink(RVecU8 *v) {
  if (v->capacity != v->length) host_vec_set_capacity(v, v->length);
}

/* The layout pointer of our table stays null: the plug-in reads only the
 * functions. */
static const VecVTable host_vec_vtable = {
    {LMFS_VEC_VTABLE_MASK, NULL}, host_type_id, host_vec_destructor, host_vec_grow, host_vec_shrink};

static RString host_string(const char *text) {
  RString s = {(uint8_t *)1, 0, 0, &host_vec_vtable};
  const size_t len = strlen(text);
  host_vec_set_capacity(&s, len);
  memcpy(s.buffer, text, len);
  s.length = len;
  return s;
}

/* Whoever made a text, its own table frees it. */
static void release_string(RString *s) {
  if (s->vtable != NULL && s->vtable->destructor != NULL) s->vtable->destructor(s);
  memset(s, 0, sizeof *s);
}

static void release_error(StorageDriverError *e) {
  switch (e->tag) {
    case kErrInvalidParameterValue:
      release_string(&e->payload.parameter.name);
      release_string(&e->payload.parameter.value);
      break;
    case kErrInvalidMediaType:
    case kErrNotApplicable:
      if (e->payload.cow.tag == 1) release_string(&e->payload.cow.u.owned);
      break;
    case kErrSecurityError:
      release_string(&e->payload.security.unsafe_path);
      break;
    default:
      release_string(&e->payload.text);
      break;
  }
}

/* The text of an error that carries one text, for messages. */
static void print_error(const char *what, const StorageDriverError *e) {
  const int one_text = e->tag != kErrInvalidParameterValue && e->tag != kErrInvalidMediaType &&
                       e->tag != kErrSecurityError && e->tag != kErrNotApplicable;
  fprintf(stderr, "bench_host_load: %s: error variant %u", what, e->tag);
  if (one_text) fprintf(stderr, ": %.*s", (int)e->payload.text.length, (const char *)e->payload.text.buffer);
  fputc('\n', stderr);
}

/* ---------------------------------------------------------------- loading */

typedef struct {
  void *handle;
  LibHeader *header;
  const StorageDriverMod *module;
} Plugin;

/* The globals handed to the plug-in: nothing here is shared with it beyond
 * the pointer. */
static uint64_t host_globals[8];

static const char *open_library(Plugin *p, const char *path) {
  p->handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  return p->handle == NULL ? dlerror() : NULL;
}

/* "MAJOR.MINOR.PATCH", then nothing or a "-" or "+" suffix. */
static int version_text_valid(const RStr *v) {
  if (v->data == NULL || v->len == 0 || v->len > 4096) return 0;
  size_t i = 0;
  for (int part = 0; part < 3; ++part) {
    if (part > 0) {
      if (i == v->len || v->data[i] != '.') return 0;
      ++i;
    }
    const size_t start = i;
    while (i < v->len && v->data[i] >= '0' && v->data[i] <= '9') ++i;
    if (i == start) return 0;
  }
  return i == v->len || v->data[i] == '-' || v->data[i] == '+';
}

static const char *read_header(Plugin *p) {
  p->header = dlsym(p->handle, LMFS_HEADER_SYMBOL);
  if (p->header == NULL) return "no library header";
  const LibHeader *h = p->header;
  if (memcmp(h->magic, LMFS_MAGIC, 32) != 0) return "wrong magic text";
  if (h->abi_major != LMFS_ABI_MAJOR || h->abi_minor != LMFS_ABI_MINOR) return "built for another plug-in ABI";
  if (!version_text_valid(&h->version)) return "invalid version text";
  return NULL;
}

/* The framework's round trips through the library's 15 functions. */
static const char *run_self_test(const LibHeader *h) {
  const CAbiTestingFns *f = h->c_abi_testing_fns;
  if (f == NULL) return "no C-ABI self-test";
  const void *const *entries = (const void *const *)f;
  for (size_t i = 0; i < sizeof *f / sizeof(void *); ++i) {
    if (entries[i] == NULL) return "a C-ABI self-test function is missing";
  }
  int bad = 0;
  static const uint32_t pairs_a[] = {0x1u, 0x5u};
  for (size_t i = 0; i < 2; ++i) {
    const U16x1 r = f->ret_pair_a(pairs_a[i]);
    bad |= r.a != (pairs_a[i] & 0xFFFF) || f->take_pair_a(r) != pairs_a[i];
  }
  static const uint32_t pairs_b[] = {0x10000u, 0x50000u};
  for (size_t i = 0; i < 2; ++i) {
    const U16x1 r = f->ret_pair_b(pairs_b[i]);
    bad |= r.a != (pairs_b[i] >> 16) || f->take_pair_b(r) != pairs_b[i];
  }
  static const uint64_t triples_a[] = {0x100010000ull, 0x100050000ull, 0x700010000ull, 0x700030000ull};
  for (size_t i = 0; i < 4; ++i) {
    const U16x2 r = f->ret_triple_a(triples_a[i]);
    bad |= r.a != ((triples_a[i] >> 16) & 0xFFFF) || f->take_triple_a(r) != triples_a[i];
  }
  static const uint64_t triples_b[] = {0x100000001ull, 0x100000005ull, 0x700000001ull, 0x700000003ull};
  for (size_t i = 0; i < 4; ++i) {
    const U16x2 r = f->ret_triple_b(triples_b[i]);
    bad |= r.a != (triples_b[i] & 0xFFFF) || f->take_triple_b(r) != triples_b[i];
  }
  static const uint64_t triples_c[] = {0x10001ull, 0x10005ull, 0x70001ull, 0x70003ull};
  for (size_t i = 0; i < 4; ++i) {
    const U16x2 r = f->ret_triple_c(triples_c[i]);
    bad |= r.a != (triples_c[i] & 0xFFFF) || f->take_triple_c(r) != triples_c[i];
  }
  static const uint64_t two_pairs_a[] = {0x1000000050000ull, 0xF0000000A0000ull};
  for (size_t i = 0; i < 2; ++i) {
    const U16x2 r = f->ret_2_pairs_a(two_pairs_a[i]);
    bad |= r.a != ((two_pairs_a[i] >> 16) & 0xFFFF) ||
           f->take_2_pairs_a((U16x1){r.a}, (U16x1){r.b}) != two_pairs_a[i];
  }
  static const uint64_t two_pairs_b[] = {0x000700000003ull, 0x00020000000Bull};
  for (size_t i = 0; i < 2; ++i) {
    const U16x2 r = f->ret_2_pairs_b(two_pairs_b[i]);
    bad |= r.a != (two_pairs_b[i] & 0xFFFF) || f->take_2_pairs_b((U16x1){r.a}, (U16x1){r.b}) != two_pairs_b[i];
  }
  static const uint64_t units[] = {0x0ull, 0x1ull, 0x20003ull, 0x400050006ull, 0x700080009000Aull};
  for (size_t i = 0; i < 5; ++i) {
    const uint64_t n = units[i];
    bad |= f->mixed_units((uint16_t)n, (uint16_t)(n >> 16), (uint16_t)(n >> 32), (uint16_t)(n >> 48)) != n;
  }
  return bad ? "the library's C calling convention differs" : NULL;
}

/* One call of the constructor under the header's lock; an Ok answer fills
 * the module slot. */
static RootModuleResult call_constructor(LibHeader *h) {
  h->lock_vtable->lock(&h->lock_state);
  const RootModuleResult r = h->constructor();
  if (r.tag == 0 && r.payload.ok != NULL) __atomic_store_n(&h->module, r.payload.ok, __ATOMIC_RELEASE);
  h->lock_vtable->unlock(&h->lock_state);
  return r;
}

/* The globals, then the root module, built once: a slot already filled is
 * one this process filled (the same file loaded again). */
static const char *build_root_module(Plugin *p) {
  LibHeader *h = p->header;
  if (h->init_globals_with == NULL) return "no init_globals_with";
  h->init_globals_with(host_globals);
  const void *module = __atomic_load_n(&h->module, __ATOMIC_ACQUIRE);
  if (module == NULL) {
    const MutexVTable *lock = h->lock_vtable;
    if (lock == NULL || (lock->metadata.field_accessibility & LMFS_MUTEX_LOCK_AND_UNLOCK) != LMFS_MUTEX_LOCK_AND_UNLOCK ||
        lock->lock == NULL || lock->unlock == NULL) {
      return "no lock table with lock and unlock";
    }
    if (h->constructor == NULL) return "no root-module constructor";
    const RootModuleResult r = call_constructor(h);
    if (r.tag != 0 || r.payload.ok == NULL) return "the root-module constructor failed";
    module = r.payload.ok;
  }
  p->module = module;
  if ((p->module->metadata.field_accessibility & LMFS_ROOT_MODULE_MASK) == 0 || p->module->new_ == NULL) {
    return "the root module has no `new`";
  }
  return NULL;
}

static void load_or_die(Plugin *p, const char *path) {
  const char *why = open_library(p, path);
  if (why == NULL) why = read_header(p);
  if (why == NULL) why = run_self_test(p->header);
  if (why == NULL) why = build_root_module(p);
  if (why != NULL) die(path, why);
}

/* ---------------------------------------------------------------- the measured operations */

static void drop_driver(StorageDriverTO *d) { d->vtable->_sabi_vtable->_sabi_drop(&d->ptr); }

static volatile uintptr_t sink;

static void ctor(LibHeader *h) {
  const RootModuleResult r = call_constructor(h);
  sink = (uintptr_t)r.payload.ok + r.tag;
}

/* `new` and the drop of the driver; false if it refused. */
static int new_valid(const StorageDriverMod *m, RString params) {
  NewResult r = m->new_(params);
  if (r.tag != 0) {
    print_error("new refused valid parameters", &r.payload.err);
    release_error(&r.payload.err);
    return 0;
  }
  drop_driver(&r.payload.ok);
  return 1;
}

/* `new` and the drop of its error; false if it accepted. */
static int new_refused(const StorageDriverMod *m, RString params) {
  NewResult r = m->new_(params);
  if (r.tag == 0) {
    drop_driver(&r.payload.ok);
    return 0;
  }
  release_error(&r.payload.err);
  return 1;
}

/* `at_root` and the drop of its answer; false if it failed. */
static int at_root(const StorageDriverTO *d, const RPath *path) {
  PathBufResult r = d->vtable->at_root(d->ptr.data, path);
  if (r.tag != 0) {
    print_error("at_root failed", &r.payload.err);
    release_error(&r.payload.err);
    return 0;
  }
  release_string(&r.payload.ok);
  return 1;
}

/* The same, each in a function of its own that only --once calls, and only
 * once: callgrind's --toggle-collect=measured_OP counts exactly that call. */
MEASURED void measured_ctor(LibHeader *h) { ctor(h); }
MEASURED int measured_new_valid(const StorageDriverMod *m, RString params) { return new_valid(m, params); }
MEASURED int measured_new_refused(const StorageDriverMod *m, RString params) { return new_refused(m, params); }
MEASURED int measured_at_root(const StorageDriverTO *d, const RPath *path) { return at_root(d, path); }

static StorageDriverTO make_driver_or_die(const StorageDriverMod *m) {
  NewResult r = m->new_(host_string(kValidParams));
  if (r.tag != 0) {
    print_error("new", &r.payload.err);
    exit(1);
  }
  return r.payload.ok;
}

static const RPath at_root_path = {(const uint8_t *)kAtRootPath, sizeof kAtRootPath - 1};

/* ---------------------------------------------------------------- the children */

enum { kLoadDlopen, kLoadHeader, kLoadSelfTest, kLoadRootModule, kLoadFirstNew, kLoadPhases };
static const char *const kLoadNames[kLoadPhases] = {"dlopen", "header", "self-test", "globals + root module",
                                                    "first new + drop"};
enum { kCallNewValid, kCallNewRefused, kCallAtRoot, kCallOps };
static const char *const kCallNames[kCallOps] = {"new (valid) + drop", "new (refused) + drop", "at_root + drop"};

/* One load, timed step by step; the nanoseconds of each on standard output. */
static int load_child(const char *path) {
  Plugin p = {0};
  uint64_t d[kLoadPhases];
  const char *why;
  uint64_t t = now_ns();
  if ((why = open_library(&p, path)) != NULL) die(path, why);
  d[kLoadDlopen] = now_ns() - t;
  t = now_ns();
  if ((why = read_header(&p)) != NULL) die(path, why);
  d[kLoadHeader] = now_ns() - t;
  t = now_ns();
  if ((why = run_self_test(p.header)) != NULL) die(path, why);
  d[kLoadSelfTest] = now_ns() - t;
  t = now_ns();
  if ((why = build_root_module(&p)) != NULL) die(path, why);
  d[kLoadRootModule] = now_ns() - t;
  const RString params = host_string(kValidParams); /* ours to build, not timed */
  t = now_ns();
  if (!new_valid(p.module, params)) return 1;
  d[kLoadFirstNew] = now_ns() - t;
  for (int i = 0; i < kLoadPhases; ++i) printf("%s%llu", i ? " " : "", (unsigned long long)d[i]);
  printf("\n");
  return 0;
}

/* One batch of `calls` calls of each operation after one load and a warm-up;
 * nanoseconds per call on standard output. */
static int calls_child(const char *path, long calls) {
  Plugin p = {0};
  load_or_die(&p, path);
  StorageDriverTO driver = make_driver_or_die(p.module);
  RString *params = malloc((size_t)calls * sizeof *params);
  if (params == NULL) die("malloc", strerror(errno));
  for (int i = 0; i < 16; ++i) {
    if (!new_valid(p.module, host_string(kValidParams)) ||
        !new_refused(p.module, host_string(kRefusedParams)) || !at_root(&driver, &at_root_path)) {
      return 1;
    }
  }
  double per_call[kCallOps];
  for (int op = 0; op < kCallOps; ++op) {
    if (op != kCallAtRoot) {
      for (long i = 0; i < calls; ++i) params[i] = host_string(op == kCallNewValid ? kValidParams : kRefusedParams);
    }
    int ok = 1;
    const uint64_t start = now_ns();
    switch (op) {
      case kCallNewValid:
        for (long i = 0; i < calls; ++i) ok &= new_valid(p.module, params[i]);
        break;
      case kCallNewRefused:
        for (long i = 0; i < calls; ++i) ok &= new_refused(p.module, params[i]);
        break;
      default:
        for (long i = 0; i < calls; ++i) ok &= at_root(&driver, &at_root_path);
        break;
    }
    per_call[op] = (double)(now_ns() - start) / (double)calls;
    if (!ok) die(path, op == kCallNewRefused ? "new accepted a type error" : "an operation failed");
  }
  drop_driver(&driver);
  free(params);
  printf("%.3f %.3f %.3f\n", per_call[0], per_call[1], per_call[2]);
  return 0;
}

/* Runs this program again with `args`; its standard output, or exits. */
static void run_child(const char *const args[], char *out, size_t cap) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) die("pipe", strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
  pid_t pid;
  const int spawned = posix_spawn(&pid, "/proc/self/exe", &actions, NULL, (char *const *)args, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (spawned != 0) die("posix_spawn", strerror(spawned));
  size_t used = 0;
  for (ssize_t n; used + 1 < cap && (n = read(pipe_fds[0], out + used, cap - 1 - used)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) die("read", strerror(errno));
    used += (size_t)n;
  }
  out[used] = '\0';
  close(pipe_fds[0]);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die(args[2], "a measuring process failed");
}

/* ---------------------------------------------------------------- the parent */

static int compare_doubles(const void *a, const void *b) {
  const double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

static double median(double *values, size_t n) {
  qsort(values, n, sizeof *values, compare_doubles);
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

static long positive(const char *flag, const char *text) {
  char *end;
  const long n = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || n <= 0 || n > 1000000) die(flag, "needs a positive number");
  return n;
}

static void usage(void) {
  fputs("usage: bench_host_load PLUGIN [PLUGIN_B] [--rounds N] [--batches N] [--calls N]\n"
        "       bench_host_load --once ctor|new_valid|new_refused|at_root PLUGIN\n",
        stderr);
  exit(2);
}

static void print_row(const char *name, const double *m, int plugins, const char *unit, int decimals) {
  printf("%-24s", name);
  for (int i = 0; i < plugins; ++i) printf(" %14.*f %s", decimals, m[i], unit);
  if (plugins == 2) printf(" %8.3f", m[0] > 0 ? m[1] / m[0] : 0.0);
  printf("\n");
}

static int side_by_side(const char *const paths[], int plugins, long rounds, long batches, long calls) {
  char text[256];
  char calls_text[32];
  snprintf(calls_text, sizeof calls_text, "%ld", calls);
  double *load[2][kLoadPhases + 1], *call[2][kCallOps];
  for (int i = 0; i < plugins; ++i) {
    for (int k = 0; k <= kLoadPhases; ++k) {
      if ((load[i][k] = calloc((size_t)rounds, sizeof(double))) == NULL) die("calloc", strerror(errno));
    }
    for (int k = 0; k < kCallOps; ++k) {
      if ((call[i][k] = calloc((size_t)batches, sizeof(double))) == NULL) die("calloc", strerror(errno));
    }
  }
  /* One load of each first, not counted: the files come into the page cache. */
  for (int i = 0; i < plugins; ++i) {
    const char *args[] = {"bench_host_load", "--load-child", paths[i], NULL};
    run_child(args, text, sizeof text);
  }
  for (long r = 0; r < rounds; ++r) {
    for (int i = 0; i < plugins; ++i) {
      const char *args[] = {"bench_host_load", "--load-child", paths[i], NULL};
      run_child(args, text, sizeof text);
      char *at = text;
      double total = 0;
      for (int k = 0; k < kLoadPhases; ++k) {
        load[i][k][r] = strtod(at, &at);
        total += load[i][k][r];
      }
      load[i][kLoadPhases][r] = total;
    }
  }
  for (long b = 0; b < batches; ++b) {
    for (int i = 0; i < plugins; ++i) {
      const char *args[] = {"bench_host_load", "--calls-child", paths[i], calls_text, NULL};
      run_child(args, text, sizeof text);
      char *at = text;
      for (int k = 0; k < kCallOps; ++k) call[i][k][b] = strtod(at, &at);
    }
  }

  printf("loads: %ld fresh processes per plug-in; calls: %ld processes of %ld calls each; medians\n", rounds, batches,
         calls);
  printf("%-24s", "phase");
  for (int i = 0; i < plugins; ++i) printf(" %17s", plugins == 2 ? (i ? "B" : "A") : "median");
  if (plugins == 2) printf(" %8s", "B/A");
  printf("\n");
  double m[2];
  for (int k = 0; k <= kLoadPhases; ++k) {
    for (int i = 0; i < plugins; ++i) m[i] = median(load[i][k], (size_t)rounds);
    print_row(k == kLoadPhases ? "total to first driver" : kLoadNames[k], m, plugins, "ns", 0);
  }
  for (int k = 0; k < kCallOps; ++k) {
    for (int i = 0; i < plugins; ++i) m[i] = median(call[i][k], (size_t)batches);
    print_row(kCallNames[k], m, plugins, "ns", 1);
  }
  for (int i = 0; i < plugins; ++i) printf("%s = %s\n", plugins == 2 ? (i ? "B" : "A") : "plug-in", paths[i]);
  for (int i = 0; i < plugins; ++i) {
    for (int k = 0; k <= kLoadPhases; ++k) free(load[i][k]);
    for (int k = 0; k < kCallOps; ++k) free(call[i][k]);
  }
  return 0;
}

/* Loads, warms OP up once, then runs it once more in its measured function. */
static int once(const char *op, const char *path) {
  Plugin p = {0};
  load_or_die(&p, path);
  int ok = 1;
  if (strcmp(op, "ctor") == 0) {
    ctor(p.header);
    measured_ctor(p.header);
  } else if (strcmp(op, "new_valid") == 0) {
    ok = new_valid(p.module, host_string(kValidParams));
    const RString params = host_string(kValidParams);
    ok &= measured_new_valid(p.module, params);
  } else if (strcmp(op, "new_refused") == 0) {
    ok = new_refused(p.module, host_string(kRefusedParams));
    const RString params = host_string(kRefusedParams);
    ok &= measured_new_refused(p.module, params);
  } else if (strcmp(op, "at_root") == 0) {
    StorageDriverTO driver = make_driver_or_die(p.module);
    ok = at_root(&driver, &at_root_path);
    ok &= measured_at_root(&driver, &at_root_path);
    drop_driver(&driver);
  } else {
    usage();
  }
  if (!ok) die(op, "the operation did not answer as expected");
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--load-child") == 0) return load_child(argv[2]);
  if (argc == 4 && strcmp(argv[1], "--calls-child") == 0) return calls_child(argv[2], positive("--calls", argv[3]));
  if (argc == 4 && strcmp(argv[1], "--once") == 0) return once(argv[2], argv[3]);

  const char *paths[2];
  int plugins = 0;
  long rounds = 200, batches = 31, calls = 2000;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = positive(argv[i], argv[i + 1]);
      ++i;
    } else if (strcmp(argv[i], "--batches") == 0 && i + 1 < argc) {
      batches = positive(argv[i], argv[i + 1]);
      ++i;
    } else if (strcmp(argv[i], "--calls") == 0 && i + 1 < argc) {
      calls = positive(argv[i], argv[i + 1]);
      ++i;
    } else if (argv[i][0] != '-' && plugins < 2) {
      paths[plugins++] = argv[i];
    } else {
      usage();
    }
  }
  if (plugins == 0) usage();
  return side_by_side(paths, plugins, rounds, batches, calls);
}
