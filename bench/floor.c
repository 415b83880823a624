/* floor.c: the process-start floor for the gateway benchmark. Reads one line from
 * standard input, writes it back and exits; nothing else, so its start-up time is
 * what any program pays to be started, fed and heard. */
#include <unistd.h>

int main(void) {
  char buffer[4096];
  size_t used = 0;
  for (;;) {
    ssize_t got = read(0, buffer + used, sizeof buffer - used);
    if (got <= 0)
      break;
    used += (size_t)got;
    if (buffer[used - 1] == '\n' || used == sizeof buffer)
      break;
  }
  size_t sent = 0;
  while (sent < used) {
    ssize_t put = write(1, buffer + sent, used - sent);
    if (put <= 0)
      return 1;
    sent += (size_t)put;
  }
  return 0;
}
