/* kestor-bench-floor DEVICE [BLOCKS [COUNT]]: the least a host can do for
 * one query on a line. Writes the 10-byte "E" request (password 5862) in
 * one write and reads the answer up to its ETX with blocking reads, COUNT
 * times per block, and prints the median over BLOCKS of the mean round
 * trip, in microseconds. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

static int Compare(const void* A, const void* B) {
    const double a = *(const double*)A, b = *(const double*)B;
    return (a > b) - (a < b);
}

int main(int argc, char** argv) {
    static const char Request[] =
        "\x02"
        "E5862\0"
        "1A\x03";
    static double means[1000];
    char answer[1024];
    struct termios tio;
    int fd, blocks, count, b, i;

    if (argc < 2) {
        fprintf(stderr, "usage: kestor-bench-floor DEVICE [BLOCKS [COUNT]]\n");
        return 2;
    }
    blocks = argc > 2 ? atoi(argv[2]) : 20;
    count = argc > 3 ? atoi(argv[3]) : 500;
    if (blocks < 1 || blocks > 1000 || count < 1) return 2;
    fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0 || tcgetattr(fd, &tio) < 0) {
        perror(argv[1]);
        return 1;
    }
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);

    for (b = 0; b < blocks; ++b) {
        const double start = Now();
        for (i = 0; i < count; ++i) {
            size_t got = 0;
            if (write(fd, Request, sizeof Request - 1) != (ssize_t)(sizeof Request - 1)) {
                perror("write");
                return 1;
            }
            while (got == 0 || answer[got - 1] != 0x03) {
                const ssize_t n = read(fd, answer + got, sizeof answer - got);
                if (n <= 0 || got + (size_t)n >= sizeof answer) {
                    fprintf(stderr, "kestor-bench-floor: no answer\n");
                    return 1;
                }
                got += (size_t)n;
            }
        }
        means[b] = (Now() - start) / count;
    }
    qsort(means, (size_t)blocks, sizeof means[0], Compare);
    printf("%.2f\n", means[blocks / 2]);
    close(fd);
    return 0;
}
