// stamp_service: the one service every supervisor of the peer comparison
// runs. Its first code writes "<name> <pid> <CLOCK_MONOTONIC ns>" as one
// line to the FIFO named by $STAMP_FIFO, then it waits in pause() until a
// signal ends it. <name> is argv[1] when given, else the last part of the
// working directory: daemontools, runit and s6 run the service as "./run"
// in its own folder.
//
// A folder with a "notification-fd" file asks the service to say it is
// ready by writing a line to that descriptor (s6's readiness protocol): it
// does so right after the stamp. s6 restarts a service that was ready at
// once, and one that never said so only after a second.
//
// Linked statically, so that the stamp comes right after exec for every
// supervisor alike and the loader's work stays out of every figure.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char* ServiceName(int argc, char** argv, char* folder, size_t size) {
  if (argc > 1) return argv[1];
  if (getcwd(folder, size) == NULL) return "?";
  const char* slash = strrchr(folder, '/');
  return slash != NULL ? slash + 1 : folder;
}

// glibc calls constructors with the program's arguments.
__attribute__((constructor(101))) static void Stamp(int argc, char** argv, char** envp) {
  (void)envp;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const char* fifo = getenv("STAMP_FIFO");
  if (fifo == NULL) return;
  char folder[PATH_MAX];
  char line[PATH_MAX + 64];
  const int length =
      snprintf(line, sizeof line, "%s %ld %lld\n", ServiceName(argc, argv, folder, sizeof folder),
               (long)getpid(), (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
  // The reader keeps the FIFO open, so this open never blocks; one write
  // of less than PIPE_BUF bytes never mixes with another service's line.
  const int fd = open(fifo, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (write(fd, line, (size_t)length) != length) {
    // Nothing to do: the benchmark misses this stamp and says so.
  }
  close(fd);
}

// Called after the stamp, so that it costs no supervisor any time measured.
__attribute__((constructor(102))) static void ReportReadiness(void) {
  const int file = open("notification-fd", O_RDONLY | O_CLOEXEC);
  if (file < 0) return;
  char text[16] = {0};
  const ssize_t length = read(file, text, sizeof text - 1);
  close(file);
  if (length <= 0) return;
  const int fd = atoi(text);
  if (write(fd, "\n", 1) != 1) {
    // The supervisor stopped listening; it sees the service as not ready.
  }
  close(fd);
}

int main(void) {
  for (;;)
    pause();
}
