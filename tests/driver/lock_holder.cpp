// lock-holder PATH SECONDS READY [detached]: another process holding the
// updater's lock. Takes an fcntl write lock over the whole of PATH (waiting
// for it), creates the file READY, holds the lock for SECONDS and exits.
// Unless "detached" is given it also ends when its parent process ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: lock-holder PATH SECONDS READY [detached]\n");
        return 2;
    }
    bool detached = argc > 4 && strcmp(argv[4], "detached") == 0;
    if (!detached) {
        pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            return 1;
        }
    }
    int fd = open(argv[1], O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    struct flock lock;
    memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (fcntl(fd, F_SETLKW, &lock) != 0) {
        if (errno != EINTR) {
            perror("lock");
            return 1;
        }
    }
    int ready = open(argv[3], O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (ready < 0) {
        perror(argv[3]);
        return 1;
    }
    close(ready);
    struct timespec left = {atoi(argv[2]), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return 0;
}
