/*
 * mpi_io_bench: an N-1 strided MPI-IO checkpoint, timed.
 *
 *   mpirun -np P mpi_io_bench FILE BLOCK_BYTES BLOCKS_PER_RANK [coll]
 *
 * Rank r writes its block k at offset (k * P + r) * BLOCK with
 * MPI_File_write_at (MPI_File_write_at_all with "coll"), syncs and closes;
 * then every rank reads the blocks of the next rank back with
 * MPI_File_read_at (read_at_all) and checks each block's stamp. Rank 0
 * prints one line:
 *
 *   write MIB_PER_S read MIB_PER_S unsynced MIB_PER_S
 *
 * write and read each timed from a barrier before the phase to one after
 * the last rank's close; unsynced is the writes alone, up to a barrier
 * before the sync.
 *
 * Exits 1 when a call failed or a block was wrong.
 */
#include <mpi.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The first 16 bytes of every 4 KiB of a block name (rank, block, piece);
 * the rest is a fixed pattern, so making a block costs little. */
static void stamp(unsigned char *buf, long long size, int rank, long long k) {
    for (long long at = 0; at + 16 <= size; at += 4096) {
        uint64_t v[2] = {((uint64_t)rank << 40) ^ (uint64_t)k, (uint64_t)at ^ 0x5eedull};
        memcpy(buf + at, v, 16);
    }
}

int main(int argc, char **argv) {
    MPI_Init(&argc, &argv);
    int rank, P;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &P);
    if (argc < 4) {
        if (rank == 0) fprintf(stderr, "usage: mpi_io_bench FILE BLOCK_BYTES BLOCKS [coll]\n");
        MPI_Finalize();
        return 2;
    }
    const char *path = argv[1];
    long long T = atoll(argv[2]), B = atoll(argv[3]);
    int coll = argc > 4 && !strcmp(argv[4], "coll");
    unsigned char *buf = malloc((size_t)T), *want = malloc((size_t)T);
    for (long long i = 0; i < T; i++) buf[i] = want[i] = (unsigned char)(i * 131 + 7);
    MPI_File_set_errhandler(MPI_FILE_NULL, MPI_ERRORS_RETURN);
    int bad = 0;

    MPI_File fh;
    MPI_Barrier(MPI_COMM_WORLD);
    double t0 = MPI_Wtime();
    if (MPI_File_open(MPI_COMM_WORLD, path, MPI_MODE_CREATE | MPI_MODE_WRONLY, MPI_INFO_NULL, &fh) !=
        MPI_SUCCESS)
        MPI_Abort(MPI_COMM_WORLD, 1);
    for (long long k = 0; k < B; k++) {
        stamp(buf, T, rank, k);
        MPI_Offset at = (MPI_Offset)((k * P + rank) * T);
        int rc = coll ? MPI_File_write_at_all(fh, at, buf, (int)T, MPI_BYTE, MPI_STATUS_IGNORE)
                      : MPI_File_write_at(fh, at, buf, (int)T, MPI_BYTE, MPI_STATUS_IGNORE);
        bad |= rc != MPI_SUCCESS;
    }
    MPI_Barrier(MPI_COMM_WORLD);
    double ts = MPI_Wtime();
    bad |= MPI_File_sync(fh) != MPI_SUCCESS;
    bad |= MPI_File_close(&fh) != MPI_SUCCESS;
    MPI_Barrier(MPI_COMM_WORLD);
    double t1 = MPI_Wtime();

    if (MPI_File_open(MPI_COMM_WORLD, path, MPI_MODE_RDONLY, MPI_INFO_NULL, &fh) != MPI_SUCCESS)
        MPI_Abort(MPI_COMM_WORLD, 1);
    int from = (rank + 1) % P;
    for (long long k = 0; k < B; k++) {
        MPI_Offset at = (MPI_Offset)((k * P + from) * T);
        int rc = coll ? MPI_File_read_at_all(fh, at, buf, (int)T, MPI_BYTE, MPI_STATUS_IGNORE)
                      : MPI_File_read_at(fh, at, buf, (int)T, MPI_BYTE, MPI_STATUS_IGNORE);
        stamp(want, T, from, k);
        if (rc != MPI_SUCCESS || memcmp(buf, want, (size_t)T) != 0) bad = 1;
    }
    MPI_File_close(&fh);
    MPI_Barrier(MPI_COMM_WORLD);
    double t2 = MPI_Wtime();

    int any = 0;
    MPI_Allreduce(&bad, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    double mib = (double)P * (double)B * (double)T / 1048576.0;
    if (rank == 0) {
        if (any) fprintf(stderr, "mpi_io_bench: %s: a call failed or a block was wrong\n", path);
        printf("write %.1f read %.1f unsynced %.1f\n", mib / (t1 - t0), mib / (t2 - t1),
               mib / (ts - t0));
    }
    free(buf);
    free(want);
    MPI_Finalize();
    return any;
}
