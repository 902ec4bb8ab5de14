/*
 * bufdig: find the message log's in-memory buffer in a file (a core file,
 * a memory dump) and write its text out.
 *
 *     bufdig [-o outfile] file
 */
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mlog.h"

int main(int argc, char **argv) {
    char *myname = argv[0];
    char *outfile = nullptr;
    int errflg = 0;
    int ch;
    while ((ch = getopt(argc, argv, "o:")) != -1) {
        switch (ch) {
        case 'o':
            outfile = optarg;
            break;
        case '?':
        default:
            fprintf(stderr, "unknown option: -%c\n", optopt);
            errflg++;
            break;
        }
    }
    if (errflg || argc - optind != 1) {
        fprintf(stderr, "usage: %s [flags] [file]\n", myname);
        fprintf(stderr, "  -o outfile   set output file (default = stdout)\n");
        exit(1);
    }
    char *infile = argv[optind];

    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never
    // come; only regular files can be mapped and searched anyway.
    int fd = open(infile, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        perror(infile);
        exit(1);
    }
    struct stat st;
    if (fstat(fd, &st) < 0) {
        perror("fstat: input file error");
        exit(1);
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s: %s: not a regular file\n", myname, infile);
        exit(1);
    }
    // The finder takes an int length; a larger file would be searched only
    // in part, so it is refused rather than cut short.
    if (st.st_size > INT_MAX) {
        fprintf(stderr, "%s: %s: file too large (2 GiB or more)\n", myname, infile);
        exit(1);
    }
    void *map = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        perror("mmap: input file error");
        exit(1);
    }

    char *b1, *b2;
    int b1l, b2l;
    if (mlog_bufdig(map, (int)st.st_size, &b1, &b1l, &b2, &b2l) < 0) {
        fprintf(stderr, "%s: %s: cannot find a message buffer\n", myname, infile);
        exit(1);
    }

    FILE *outfp = stdout;
    if (outfile) {
        outfp = fopen(outfile, "w");
        if (!outfp) {
            perror(outfile);
            exit(1);
        }
    }
    fwrite(b1, 1, (size_t)b1l, outfp);
    if (b2l) fwrite(b2, 1, (size_t)b2l, outfp);
    if (outfp != stdout) fclose(outfp);
    exit(0);
}
