/* Preloaded into zelk to make every fsync fail, as on a failing disk. */
#include <errno.h>

int fsync(int fd) {
  (void)fd;
  errno = EIO;
  return -1;
}
