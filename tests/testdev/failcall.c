/* Preloaded into zelk to make a call fail as it does on some systems:
 * ZELK_FAIL=fsync  every fsync fails EIO, as on a failing disk;
 * ZELK_FAIL=fdatasync  the same for every fdatasync;
 * ZELK_FAIL=flock  every flock fails ENOLCK, as on NFS without a lock
 *                  daemon. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

static int failing(const char* call) {
  const char* fail = getenv("ZELK_FAIL");
  return fail && !strcmp(fail, call);
}

int fsync(int fd) {
  (void)fd;
  errno = failing("fsync") ? EIO : 0;
  return failing("fsync") ? -1 : 0;
}

int fdatasync(int fd) {
  (void)fd;
  errno = failing("fdatasync") ? EIO : 0;
  return failing("fdatasync") ? -1 : 0;
}

int flock(int fd, int operation) {
  (void)fd, (void)operation;
  errno = failing("flock") ? ENOLCK : 0;
  return failing("flock") ? -1 : 0;
}
