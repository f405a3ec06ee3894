/*
 * The yardstick for gpio-cycle's poll rate: the least a poll of two sysfs
 * inputs can cost. Opens, reads and closes pin 27's and pin 17's value
 * attributes, over and over, and does nothing else.
 */
#include <fcntl.h>
#include <unistd.h>

int main(void) {
  static const char* const paths[] = {"/sys/class/gpio/gpio27/value", "/sys/class/gpio/gpio17/value"};
  char buffer[10];
  volatile unsigned long active = 0;
  for (;;) {
    for (int i = 0; i < 2; ++i) {
      const int fd = open(paths[i], O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        const ssize_t got = read(fd, buffer, sizeof buffer - 1);
        close(fd);
        active += got > 0 && buffer[0] != '0';
      }
    }
  }
}
