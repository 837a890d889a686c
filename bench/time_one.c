/* Runs one command and appends its wall time and CPU time to a file, in seconds, and its peak
 * resident size in KiB:
 *   time_one OUT COMMAND [ARGUMENT...]   ->   "WALL USER SYSTEM MAXRSS\n" appended to OUT
 * The wall time is read on the monotonic clock right before fork and right after wait4, so it is
 * the command's start, run and exit and nothing of a shell around it; the CPU times and the peak
 * resident size are the command's own (wait4's rusage). Exits with the command's exit code (128
 * and the signal's number when a signal ended it), 1 when its figures cannot be written, 127 when
 * it cannot be run. */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: time_one OUT COMMAND [ARGUMENT...]\n");
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child) return 1;
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double wall =
      (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  FILE* out = fopen(argv[1], "a");
  if (!out) return 1;
  fprintf(out, "%.6f %.6f %.6f %ld\n", wall, seconds(usage.ru_utime), seconds(usage.ru_stime),
          usage.ru_maxrss);
  if (fclose(out) != 0) return 1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
