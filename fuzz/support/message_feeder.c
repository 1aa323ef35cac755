/* The message program of the launcher_messages target: copies the file named
 * by CALYRA_FUZZ_FEED to standard output. Built without instrumentation so
 * that it starts quickly. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

int main(void) {
  const char* path = getenv("CALYRA_FUZZ_FEED");
  if (path == NULL) return 2;
  int fd = open(path, O_RDONLY);
  if (fd < 0) return 2;
  char buffer[4096];
  ssize_t count;
  while ((count = read(fd, buffer, sizeof buffer)) > 0) {
    if (write(STDOUT_FILENO, buffer, (size_t)count) != count) return 1;
  }
  return 0;
}
