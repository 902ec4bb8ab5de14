/*
 * rename: writes a line to a new file, renames the file while its stream
 * is open, writes a second line through the same stream and checks that
 * reading the file back from its start gives both lines.
 *
 *     rename -t target [-n newname] [-c file-to-print-first]
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// The line numbers are part of the output that scripts compare against;
// they stay as they are wherever the checks move in this file.
enum { kLineBadOption = 44, kLineNoTarget = 49 };

static void Usage(const char *prog, int line) {
    fprintf(stderr, "Usage (line %d): %s args\n", line, prog);
    exit(1);
}

int main(int argc, char **argv) {
    char *prog = strdup(argv[0]);
    const char *target = nullptr, *newtarg = nullptr, *cattarg = nullptr;
    static char buf[4096];
    memset(buf, 0, sizeof buf);
    int c;
    while ((c = getopt(argc, argv, "n:t:c:")) != -1) {
        switch (c) {
        case 't':
            target = optarg;
            break;
        case 'n':
            newtarg = optarg;
            break;
        case 'c':
            cattarg = optarg;
            break;
        default:
            Usage(prog, kLineBadOption);
        }
    }
    if (!target) Usage(prog, kLineNoTarget);

    FILE *fp = fopen(target, "w+");
    if (!fp) {
        perror("fopen");
        exit(1);
    }
    fprintf(fp, "Hello world!\n");  // left in the stream's buffer

    if (cattarg) {
        FILE *cp = fopen(cattarg, "r");
        if (!cp) {
            perror("fopen");
            exit(1);
        }
        size_t got = fread(buf, 1, sizeof buf, cp);
        // A full buffer has no terminator: print only what was read.
        printf("Read %.*s from %s\n", (int)got, buf, cattarg);
        fclose(cp);
        memset(buf, 0, sizeof buf);
    }

    if (newtarg && rename(target, newtarg) != 0) {
        perror("rename");
        exit(1);
    }

    fprintf(fp, "Goodbye world!\n");
    if (fseek(fp, 0, SEEK_SET) != 0) {
        perror("fseek");
        exit(1);
    }
    size_t got = fread(buf, 1, 100, fp);
    (void)got;  // the buffer was zeroed: it is a text either way
    printf("Read %s from %s\n", buf, newtarg ? newtarg : target);
    if (strcmp(buf, "Hello world!\nGoodbye world!\n") != 0) {
        printf("data integrity error (%s)\n", buf);
        exit(1);
    }
    if (fclose(fp) != 0) {
        perror("fclose");
        exit(1);
    }
    exit(0);
}
