// Preloaded into a test process to make chosen file-system calls fail, so the
// tests can watch the cache meet EIO, ENOSPC or EACCES at every step.
//
//   QEL_FAULT="op:N:ERR[,op:N:ERR...]"  fail the Nth counted call of op;
//                                      "N+" fails it and every later one
//   QEL_FAULT_PREFIX=/dir              count only calls on paths under /dir;
//                                      fd calls count when the fd was opened there
//
// ops: open (files and directories, openat2 included), write, fsync, rename,
// unlink (also rmdir), readdir, close, and openat2, counted before open for
// that call only (ENOSYS makes the kernel look older). ERR: EIO, ENOSPC,
// EACCES, EPERM, ENOSYS.
// qel_fault_configure(text) replaces the plan with the one text describes and
// resets every counter.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum op { OP_OPEN, OP_WRITE, OP_FSYNC, OP_RENAME, OP_UNLINK, OP_READDIR, OP_CLOSE, OP_OPENAT2, OP_COUNT };
static const char* const op_names[OP_COUNT] = {"open", "write", "fsync", "rename", "unlink", "readdir", "close", "openat2"};

struct fault {
  enum op op;
  long nth;
  int sticky;  // fail from the nth call on
  int err;
};

#define MAX_FAULTS 16
#define MAX_FDS 65536

// The plan is replaced at run time while engine threads may be removing
// files, so it and the counters are read and written under one mutex.
static pthread_mutex_t plan_mutex = PTHREAD_MUTEX_INITIALIZER;
static struct fault plan[MAX_FAULTS];
static int plan_len;
static long counts[OP_COUNT];
static char prefix[PATH_MAX];
static size_t prefix_len;
// fds opened under the prefix; only ever set and cleared by whole bytes.
static unsigned char tracked[MAX_FDS];

static int parse_errno(const char* name) {
  static const struct { const char* name; int code; } names[] = {
      {"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"EPERM", EPERM}, {"ENOSYS", ENOSYS}};
  for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
    if (strcmp(name, names[i].name) == 0) return names[i].code;
  return 0;
}

static int parse_op(const char* name, size_t len) {
  for (int i = 0; i < OP_COUNT; i++)
    if (strlen(op_names[i]) == len && strncmp(name, op_names[i], len) == 0) return i;
  return -1;
}

// Returns 0 on success, -1 on a malformed plan (the plan is then empty).
int qel_fault_configure(const char* text) {
  struct fault parsed[MAX_FAULTS];
  int n = 0;
  const char* p = text ? text : "";
  while (*p) {
    const char* colon1 = strchr(p, ':');
    if (!colon1 || n == MAX_FAULTS) return -1;
    int op = parse_op(p, (size_t)(colon1 - p));
    char* end;
    long nth = strtol(colon1 + 1, &end, 10);
    int sticky = *end == '+';
    if (sticky) end++;
    if (op < 0 || nth < 1 || *end != ':') return -1;
    char name[16];
    size_t len = strcspn(end + 1, ",");
    if (len >= sizeof name) return -1;
    memcpy(name, end + 1, len);
    name[len] = '\0';
    int err = parse_errno(name);
    if (!err) return -1;
    parsed[n++] = (struct fault){(enum op)op, nth, sticky, err};
    p = end + 1 + len;
    if (*p == ',') p++;
  }
  pthread_mutex_lock(&plan_mutex);
  memcpy(plan, parsed, sizeof(struct fault) * (size_t)n);
  plan_len = n;
  memset(counts, 0, sizeof counts);
  pthread_mutex_unlock(&plan_mutex);
  return 0;
}

__attribute__((constructor)) static void init(void) {
  const char* dir = getenv("QEL_FAULT_PREFIX");
  if (dir && strlen(dir) < sizeof prefix) {
    strcpy(prefix, dir);
    prefix_len = strlen(prefix);
    while (prefix_len > 1 && prefix[prefix_len - 1] == '/') prefix[--prefix_len] = '\0';
  }
  if (qel_fault_configure(getenv("QEL_FAULT")) != 0) {
    fprintf(stderr, "fault_shim: malformed QEL_FAULT\n");
    abort();
  }
}

static void* real(const char* name) {
  void* fn = dlsym(RTLD_NEXT, name);
  if (!fn) {
    fprintf(stderr, "fault_shim: no %s\n", name);
    abort();
  }
  return fn;
}
#define REAL(name)                                        \
  static __typeof__(&name) real_##name;                   \
  if (!__atomic_load_n(&real_##name, __ATOMIC_ACQUIRE))   \
  __atomic_store_n(&real_##name, (__typeof__(&name))real(#name), __ATOMIC_RELEASE)

static int fd_tracked(int fd) {
  return prefix_len == 0 || (fd >= 0 && fd < MAX_FDS && __atomic_load_n(&tracked[fd], __ATOMIC_RELAXED));
}
static void track(int fd, int on) {
  if (fd >= 0 && fd < MAX_FDS) __atomic_store_n(&tracked[fd], (unsigned char)on, __ATOMIC_RELAXED);
}

static int path_under_prefix(const char* path) {
  return strncmp(path, prefix, prefix_len) == 0 && (path[prefix_len] == '/' || path[prefix_len] == '\0');
}

static int under_prefix(int dirfd, const char* path) {
  if (prefix_len == 0) return 1;
  if (!path) return 0;
  if (path[0] == '/') return path_under_prefix(path);
  if (dirfd != AT_FDCWD) return fd_tracked(dirfd);
  char cwd[PATH_MAX];
  return getcwd(cwd, sizeof cwd) && path_under_prefix(cwd);
}

// Counts one call of op and returns the errno it must fail with, or 0.
static int should_fail(enum op op) {
  int err = 0;
  pthread_mutex_lock(&plan_mutex);
  long n = ++counts[op];
  for (int i = 0; i < plan_len && !err; i++)
    if (plan[i].op == op && (n == plan[i].nth || (plan[i].sticky && n > plan[i].nth))) err = plan[i].err;
  pthread_mutex_unlock(&plan_mutex);
  return err;
}

#define FAIL_IF(op, counted, ret)        \
  do {                                   \
    if (counted) {                       \
      int err_ = should_fail(op);        \
      if (err_) {                        \
        errno = err_;                    \
        return ret;                      \
      }                                  \
    }                                    \
  } while (0)

static mode_t mode_arg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

static int opened(int fd, int counted) {
  if (fd >= 0) track(fd, counted);
  return fd;
}

#define OPEN_AT(name)                                               \
  int name(int dirfd, const char* path, int flags, ...) {           \
    va_list ap;                                                     \
    va_start(ap, flags);                                            \
    mode_t mode = mode_arg(flags, ap);                              \
    va_end(ap);                                                     \
    REAL(name);                \
    int counted = under_prefix(dirfd, path);                        \
    FAIL_IF(OP_OPEN, counted, -1);                                  \
    return opened(real_##name(dirfd, path, flags, mode), counted);  \
  }
#define OPEN(name)                                                      \
  int name(const char* path, int flags, ...) {                          \
    va_list ap;                                                         \
    va_start(ap, flags);                                                \
    mode_t mode = mode_arg(flags, ap);                                  \
    va_end(ap);                                                         \
    REAL(name);                         \
    int counted = under_prefix(AT_FDCWD, path);                         \
    FAIL_IF(OP_OPEN, counted, -1);                                      \
    return opened(real_##name(path, flags, mode), counted);             \
  }
OPEN(open)
OPEN(open64)
OPEN_AT(openat)
OPEN_AT(openat64)

// Fortified builds call these for opens without O_CREAT.
int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open64(path, flags); }
int __openat_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char* path, int flags) { return openat64(dirfd, path, flags); }

DIR* opendir(const char* path) {
  REAL(opendir);
  int counted = under_prefix(AT_FDCWD, path);
  FAIL_IF(OP_OPEN, counted, NULL);
  DIR* dir = real_opendir(path);
  if (dir) opened(dirfd(dir), counted);
  return dir;
}

int closedir(DIR* dir) {
  REAL(closedir);
  track(dirfd(dir), 0);
  return real_closedir(dir);
}

#define READDIR(name, type)                                  \
  type* name(DIR* dir) {                                     \
    REAL(name);                             \
    FAIL_IF(OP_READDIR, fd_tracked(dirfd(dir)), NULL);       \
    return real_##name(dir);                                 \
  }
READDIR(readdir, struct dirent)
READDIR(readdir64, struct dirent64)

ssize_t write(int fd, const void* buf, size_t len) {
  REAL(write);
  FAIL_IF(OP_WRITE, fd_tracked(fd), -1);
  return real_write(fd, buf, len);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  REAL(writev);
  FAIL_IF(OP_WRITE, fd_tracked(fd), -1);
  return real_writev(fd, iov, count);
}

ssize_t pwrite(int fd, const void* buf, size_t len, off_t offset) {
  REAL(pwrite);
  FAIL_IF(OP_WRITE, fd_tracked(fd), -1);
  return real_pwrite(fd, buf, len, offset);
}

int fsync(int fd) {
  REAL(fsync);
  FAIL_IF(OP_FSYNC, fd_tracked(fd), -1);
  return real_fsync(fd);
}

int fdatasync(int fd) {
  REAL(fdatasync);
  FAIL_IF(OP_FSYNC, fd_tracked(fd), -1);
  return real_fdatasync(fd);
}

// Like the kernel, a failing close still releases the descriptor.
int close(int fd) {
  REAL(close);
  int counted = fd_tracked(fd);
  track(fd, 0);
  int rc = real_close(fd);
  FAIL_IF(OP_CLOSE, counted, -1);
  return rc;
}

static int rename_counted(int olddirfd, const char* old, int newdirfd, const char* new) {
  return under_prefix(olddirfd, old) || under_prefix(newdirfd, new);
}

int rename(const char* old, const char* new) {
  REAL(rename);
  FAIL_IF(OP_RENAME, rename_counted(AT_FDCWD, old, AT_FDCWD, new), -1);
  return real_rename(old, new);
}

int renameat(int olddirfd, const char* old, int newdirfd, const char* new) {
  REAL(renameat);
  FAIL_IF(OP_RENAME, rename_counted(olddirfd, old, newdirfd, new), -1);
  return real_renameat(olddirfd, old, newdirfd, new);
}

int renameat2(int olddirfd, const char* old, int newdirfd, const char* new, unsigned flags) {
  REAL(renameat2);
  FAIL_IF(OP_RENAME, rename_counted(olddirfd, old, newdirfd, new), -1);
  return real_renameat2(olddirfd, old, newdirfd, new, flags);
}

// Only the raw renameat2 and openat2 are of interest; every other call
// passes through.
long syscall(long number, ...) {
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (int i = 0; i < 6; i++) a[i] = va_arg(ap, long);
  va_end(ap);
  REAL(syscall);
  if (number == SYS_renameat2)
    FAIL_IF(OP_RENAME, rename_counted((int)a[0], (const char*)a[1], (int)a[2], (const char*)a[3]), -1);
  if (number == SYS_openat2) {
    int counted = under_prefix((int)a[0], (const char*)a[1]);
    FAIL_IF(OP_OPENAT2, counted, -1);
    FAIL_IF(OP_OPEN, counted, -1);
    return opened((int)real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]), counted);
  }
  return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int unlink(const char* path) {
  REAL(unlink);
  FAIL_IF(OP_UNLINK, under_prefix(AT_FDCWD, path), -1);
  return real_unlink(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
  REAL(unlinkat);
  FAIL_IF(OP_UNLINK, under_prefix(dirfd, path), -1);
  return real_unlinkat(dirfd, path, flags);
}

int rmdir(const char* path) {
  REAL(rmdir);
  FAIL_IF(OP_UNLINK, under_prefix(AT_FDCWD, path), -1);
  return real_rmdir(path);
}

int remove(const char* path) {
  REAL(remove);
  FAIL_IF(OP_UNLINK, under_prefix(AT_FDCWD, path), -1);
  return real_remove(path);
}
