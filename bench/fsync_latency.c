/* The disk's sync latency, as the import meets it: COUNT times, a new 4 KiB file is written in
 * FOLDER and fsynced, then FOLDER itself is fsynced, then the file once more with nothing changed
 * since (a sync repeated); the file is removed (unsynced) after.
 *   fsync_latency FOLDER COUNT   ->   one line per round, in seconds: "FILE FOLDER AGAIN" */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: fsync_latency FOLDER COUNT\n");
    return 2;
  }
  char path[4096];
  if (snprintf(path, sizeof path, "%s/fsync-probe.tmp", argv[1]) >= (int)sizeof path) return 2;
  const int count = atoi(argv[2]);
  char block[4096];
  memset(block, 'x', sizeof block);
  const int folder = open(argv[1], O_RDONLY | O_DIRECTORY);
  if (folder < 0) return 1;
  for (int i = 0; i < count; ++i) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, block, sizeof block) != (ssize_t)sizeof block) return 1;
    const double t0 = now();
    if (fsync(fd) != 0) return 1;
    const double t1 = now();
    if (fsync(folder) != 0) return 1;
    const double t2 = now();
    if (fsync(fd) != 0) return 1;
    const double t3 = now();
    close(fd);
    unlink(path);
    printf("%.6f %.6f %.6f\n", t1 - t0, t2 - t1, t3 - t2);
  }
  close(folder);
  return 0;
}
