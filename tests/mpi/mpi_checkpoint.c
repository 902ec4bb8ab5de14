/*
 * mpi_checkpoint: an MPI-IO checkpoint as applications write them, then
 * read back by a different number of ranks with every byte checked.
 *
 *   mpi_checkpoint write SEED ROUNDS DIR...
 *   mpi_checkpoint read WRITERS SEED ROUNDS DIR...
 *
 * `write` makes, in every DIR, one shared file per layout and way of
 * writing:
 *
 *   layouts  strided    round k holds one block of every rank in rank order
 *            segmented  rank r owns one stretch: its ROUNDS blocks in order
 *   ways     coll       MPI_File_write_at_all, one block per call and rank
 *            indep      MPI_File_write_at, odd ranks from the last block back
 *            view       a file view of the rank's blocks and one independent
 *                       MPI_File_write_at of them all (noncontiguous in the
 *                       file: the MPI library's data sieving reads, patches
 *                       and writes back whole ranges under record locks)
 *            viewcoll   the same view, written with MPI_File_write_at_all
 *
 * Rank r's blocks are 3001 + 1237 r bytes: no block size divides another and
 * none is aligned, so every block boundary falls inside the MPI library's and
 * vesk's buffers. The file is synced (MPI_File_sync) and closed.
 *
 * `read` (any number of ranks) checks each file's size, then reads it in
 * pieces of 7919 bytes, collectively, spread over the ranks, and checks every
 * byte: byte o of every file is a function of (SEED, o), so a block at the
 * wrong place, a lost or a stale write all show. It exits 0 only when every
 * file of every DIR is whole; rank 0 prints one line per file.
 */
#include <mpi.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define READ_PIECE 7919

static const char *layouts[] = {"strided", "segmented"};
static const char *ways[] = {"coll", "indep", "view", "viewcoll"};

static uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

static unsigned char byte_at(uint64_t seed, uint64_t o) {
    return (unsigned char)(mix(seed ^ (o >> 3)) >> ((o & 7) * 8));
}

static void fill(unsigned char *buf, uint64_t len, uint64_t seed, uint64_t at) {
    for (uint64_t i = 0; i < len; i++) buf[i] = byte_at(seed, at + i);
}

static MPI_Offset block_size(int r) { return 3001 + 1237 * (MPI_Offset)r; }

/* Offset of rank r's block k among P writers of `rounds` blocks each. */
static MPI_Offset block_offset(int strided, int P, int rounds, int r, int k) {
    MPI_Offset before = 0, round = 0;
    for (int i = 0; i < P; i++) {
        if (i < r) before += block_size(i);
        round += block_size(i);
    }
    if (strided) return (MPI_Offset)k * round + before;
    return before * rounds + (MPI_Offset)k * block_size(r);
}

static MPI_Offset file_size(int P, int rounds) {
    MPI_Offset s = 0;
    for (int i = 0; i < P; i++) s += block_size(i);
    return s * rounds;
}

static int failed(const char *what, const char *path, int err) {
    char text[MPI_MAX_ERROR_STRING];
    int len = 0;
    MPI_Error_string(err, text, &len);
    fprintf(stderr, "mpi_checkpoint: %s %s: %s\n", what, path, text);
    return 1;
}

static int write_one(const char *path, int strided, const char *way, uint64_t seed, int rounds) {
    int rank, P;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &P);
    MPI_Offset bs = block_size(rank);
    unsigned char *buf = malloc((size_t)(bs * rounds));
    if (!buf) return 1;
    MPI_File fh;
    int rc = MPI_File_open(MPI_COMM_WORLD, path, MPI_MODE_CREATE | MPI_MODE_WRONLY, MPI_INFO_NULL,
                           &fh);
    if (rc != MPI_SUCCESS) {
        free(buf);
        return failed("open", path, rc);
    }
    int bad = 0;
    if (!strcmp(way, "coll") || !strcmp(way, "indep")) {
        int backwards = !strcmp(way, "indep") && rank % 2;
        for (int i = 0; i < rounds && !bad; i++) {
            int k = backwards ? rounds - 1 - i : i;
            MPI_Offset at = block_offset(strided, P, rounds, rank, k);
            fill(buf, (uint64_t)bs, seed, (uint64_t)at);
            rc = !strcmp(way, "coll")
                     ? MPI_File_write_at_all(fh, at, buf, (int)bs, MPI_BYTE, MPI_STATUS_IGNORE)
                     : MPI_File_write_at(fh, at, buf, (int)bs, MPI_BYTE, MPI_STATUS_IGNORE);
            if (rc != MPI_SUCCESS) bad = failed("write", path, rc);
        }
    } else {
        // The rank's blocks as one file type: ROUNDS blocks of its size,
        // each at its offset relative to the first.
        int *lens = malloc(sizeof(int) * (size_t)rounds);
        MPI_Aint *disps = malloc(sizeof(MPI_Aint) * (size_t)rounds);
        MPI_Offset first = block_offset(strided, P, rounds, rank, 0);
        for (int k = 0; k < rounds; k++) {
            MPI_Offset at = block_offset(strided, P, rounds, rank, k);
            lens[k] = (int)bs;
            disps[k] = (MPI_Aint)(at - first);
            fill(buf + (size_t)k * (size_t)bs, (uint64_t)bs, seed, (uint64_t)at);
        }
        MPI_Datatype ft;
        MPI_Type_create_hindexed(rounds, lens, disps, MPI_BYTE, &ft);
        MPI_Type_commit(&ft);
        rc = MPI_File_set_view(fh, first, MPI_BYTE, ft, "native", MPI_INFO_NULL);
        if (rc != MPI_SUCCESS) bad = failed("set_view", path, rc);
        int n = (int)(bs * rounds);
        if (!bad) {
            rc = !strcmp(way, "view")
                     ? MPI_File_write_at(fh, 0, buf, n, MPI_BYTE, MPI_STATUS_IGNORE)
                     : MPI_File_write_at_all(fh, 0, buf, n, MPI_BYTE, MPI_STATUS_IGNORE);
            if (rc != MPI_SUCCESS) bad = failed("write", path, rc);
        }
        MPI_Type_free(&ft);
        free(lens);
        free(disps);
    }
    rc = MPI_File_sync(fh);
    if (rc != MPI_SUCCESS) bad = failed("sync", path, rc);
    rc = MPI_File_close(&fh);
    if (rc != MPI_SUCCESS) bad = failed("close", path, rc);
    free(buf);
    return bad;
}

/* Rank 0's line for the file; 0 when it is whole. */
static int check_one(const char *path, int writers, uint64_t seed, int rounds) {
    int rank, P;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &P);
    MPI_File fh;
    int rc = MPI_File_open(MPI_COMM_WORLD, path, MPI_MODE_RDONLY, MPI_INFO_NULL, &fh);
    if (rc != MPI_SUCCESS) return failed("open", path, rc);
    MPI_Offset want = file_size(writers, rounds), size = -1;
    MPI_File_get_size(fh, &size);
    long long bad = 0, first_bad = -1;
    unsigned char *buf = malloc(READ_PIECE);
    MPI_Offset pieces = (want + READ_PIECE - 1) / READ_PIECE;
    // Every rank makes the same number of collective calls; piece p is read
    // by rank p % P, a rank out of pieces reads nothing.
    for (MPI_Offset round = 0; round * P < pieces; round++) {
        MPI_Offset p = round * P + rank;
        MPI_Offset at = p * READ_PIECE;
        int len = p < pieces ? (int)(want - at < READ_PIECE ? want - at : READ_PIECE) : 0;
        MPI_Status st;
        rc = MPI_File_read_at_all(fh, p < pieces ? at : 0, buf, len, MPI_BYTE, &st);
        int got = 0;
        if (rc == MPI_SUCCESS) MPI_Get_count(&st, MPI_BYTE, &got);
        else got = -1;
        for (int i = 0; i < len; i++) {
            if (i >= got || buf[i] != byte_at(seed, (uint64_t)(at + i))) {
                if (first_bad < 0) first_bad = at + i;
                bad++;
            }
        }
    }
    free(buf);
    MPI_File_close(&fh);
    long long all_bad = 0, all_first = -1;
    MPI_Reduce(&bad, &all_bad, 1, MPI_LONG_LONG, MPI_SUM, 0, MPI_COMM_WORLD);
    if (first_bad < 0) first_bad = (long long)want;
    MPI_Reduce(&first_bad, &all_first, 1, MPI_LONG_LONG, MPI_MIN, 0, MPI_COMM_WORLD);
    int whole = size == want && all_bad == 0;
    if (rank == 0) {
        if (whole)
            printf("%s: %lld bytes whole\n", path, (long long)want);
        else
            printf("%s: BAD: size %lld (want %lld), %lld wrong bytes, the first at %lld\n", path,
                   (long long)size, (long long)want, all_bad, all_first);
    }
    return !whole;
}

int main(int argc, char **argv) {
    MPI_Init(&argc, &argv);
    int rank;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    int writing = argc >= 5 && !strcmp(argv[1], "write");
    int reading = argc >= 6 && !strcmp(argv[1], "read");
    if (!writing && !reading) {
        if (rank == 0)
            fprintf(stderr, "usage: mpi_checkpoint write SEED ROUNDS DIR...\n"
                            "       mpi_checkpoint read WRITERS SEED ROUNDS DIR...\n");
        MPI_Finalize();
        return 2;
    }
    int a = 2;
    int writers = reading ? atoi(argv[a++]) : 0;
    uint64_t seed = strtoull(argv[a++], NULL, 0);
    int rounds = atoi(argv[a++]);
    int bad = 0;
    // Errors come back as codes: a failed call is reported, not fatal.
    MPI_File_set_errhandler(MPI_FILE_NULL, MPI_ERRORS_RETURN);
    for (; a < argc; a++) {
        for (int l = 0; l < 2; l++) {
            for (int w = 0; w < 4; w++) {
                char path[4096];
                snprintf(path, sizeof path, "%s/%s.%s", argv[a], layouts[l], ways[w]);
                // Each file gets its own seed: one file's bytes in another
                // are wrong there.
                uint64_t s = mix(seed + (uint64_t)(l * 4 + w));
                bad |= writing ? write_one(path, l == 0, ways[w], s, rounds)
                               : check_one(path, writers, s, rounds);
            }
        }
    }
    int any = 0;
    MPI_Allreduce(&bad, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    MPI_Finalize();
    return any ? 1 : 0;
}
