/*
 * mpi_hdf5: a parallel HDF5 checkpoint, written collectively through
 * MPI-IO by every rank, then read back and checked by every rank.
 *
 *   mpi_hdf5 FILE...
 *
 * Each FILE gets a group "/step" with a 2-D dataset "field" of 389 x 263
 * doubles, split by rows over the ranks in unequal bands (rank r's band
 * grows with r, the last takes the rest), each rank writing its band with a
 * collective H5Dwrite; an attribute and a small chunked dataset "weights"
 * written by hyperslabs of columns make the file's metadata more than one
 * object header. Element (i, j) of "field" is a function of (i, j). After the
 * file is closed it is opened again and every rank reads the whole dataset
 * (collectively) and checks every element. Exits 0 when every file is whole.
 */
#include <hdf5.h>
#include <mpi.h>
#include <stdio.h>
#include <stdlib.h>

#define ROWS 389
#define COLS 263
#define WCOLS 1000

static double value(hsize_t i, hsize_t j) { return (double)i * 1000.0 + (double)j + 0.25; }

/* Rows [*first, *first + *count) of rank r among P. */
static void band(int r, int P, hsize_t *first, hsize_t *count) {
    // Weights 1, 2, ..., P: bands of unequal size.
    hsize_t total = (hsize_t)P * (hsize_t)(P + 1) / 2, before = (hsize_t)r * (hsize_t)(r + 1) / 2;
    *first = ROWS * before / total;
    hsize_t end = r == P - 1 ? ROWS : ROWS * (before + (hsize_t)r + 1) / total;
    *count = end - *first;
}

static hid_t mpio_fapl(void) {
    hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_fapl_mpio(fapl, MPI_COMM_WORLD, MPI_INFO_NULL);
    return fapl;
}

static int write_file(const char *path, int rank, int P) {
    hid_t fapl = mpio_fapl();
    hid_t f = H5Fcreate(path, H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
    H5Pclose(fapl);
    if (f < 0) {
        fprintf(stderr, "mpi_hdf5: cannot create %s\n", path);
        return 1;
    }
    int bad = 0;
    hid_t g = H5Gcreate2(f, "/step", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    hsize_t dims[2] = {ROWS, COLS};
    hid_t fspace = H5Screate_simple(2, dims, NULL);
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    // Creation times would make two files of the same data differ.
    H5Pset_obj_track_times(dcpl, 0);
    hid_t ds = H5Dcreate2(g, "field", H5T_NATIVE_DOUBLE, fspace, H5P_DEFAULT, dcpl, H5P_DEFAULT);

    hsize_t first, count;
    band(rank, P, &first, &count);
    double *buf = malloc(sizeof(double) * (count ? count : 1) * COLS);
    for (hsize_t i = 0; i < count; i++)
        for (hsize_t j = 0; j < COLS; j++) buf[i * COLS + j] = value(first + i, j);
    hsize_t start[2] = {first, 0}, cnt[2] = {count, COLS};
    H5Sselect_hyperslab(fspace, H5S_SELECT_SET, start, NULL, cnt, NULL);
    hid_t mspace = H5Screate_simple(2, cnt, NULL);
    hid_t xfer = H5Pcreate(H5P_DATASET_XFER);
    H5Pset_dxpl_mpio(xfer, H5FD_MPIO_COLLECTIVE);
    if (H5Dwrite(ds, H5T_NATIVE_DOUBLE, mspace, fspace, xfer, buf) < 0) bad = 1;
    free(buf);

    // Weights: 1 x WCOLS ints, chunked, rank r writing the columns r, r+P...
    hsize_t wdims[2] = {1, WCOLS}, chunk[2] = {1, 128};
    hid_t wspace = H5Screate_simple(2, wdims, NULL);
    hid_t wcpl = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_obj_track_times(wcpl, 0);
    H5Pset_chunk(wcpl, 2, chunk);
    hid_t wds = H5Dcreate2(g, "weights", H5T_NATIVE_INT, wspace, H5P_DEFAULT, wcpl, H5P_DEFAULT);
    hsize_t mine = (WCOLS - (hsize_t)rank + (hsize_t)P - 1) / (hsize_t)P;
    int *w = malloc(sizeof(int) * (mine ? mine : 1));
    for (hsize_t k = 0; k < mine; k++) w[k] = (int)((hsize_t)rank + k * (hsize_t)P) * 7 - 3;
    hsize_t wstart[2] = {0, (hsize_t)rank}, wstride[2] = {1, (hsize_t)P}, wcnt[2] = {1, mine};
    H5Sselect_hyperslab(wspace, H5S_SELECT_SET, wstart, wstride, wcnt, NULL);
    hid_t wm = H5Screate_simple(2, wcnt, NULL);
    if (H5Dwrite(wds, H5T_NATIVE_INT, wm, wspace, xfer, w) < 0) bad = 1;
    free(w);

    hid_t aspace = H5Screate(H5S_SCALAR);
    hid_t attr = H5Acreate2(g, "ranks", H5T_NATIVE_INT, aspace, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(attr, H5T_NATIVE_INT, &P);
    H5Aclose(attr);
    H5Sclose(aspace);

    H5Sclose(wm);
    H5Dclose(wds);
    H5Pclose(wcpl);
    H5Sclose(wspace);
    H5Pclose(xfer);
    H5Sclose(mspace);
    H5Dclose(ds);
    H5Pclose(dcpl);
    H5Sclose(fspace);
    H5Gclose(g);
    if (H5Fflush(f, H5F_SCOPE_GLOBAL) < 0) bad = 1;
    if (H5Fclose(f) < 0) bad = 1;
    if (bad) fprintf(stderr, "mpi_hdf5: writing %s failed\n", path);
    return bad;
}

static int check_file(const char *path) {
    hid_t fapl = mpio_fapl();
    hid_t f = H5Fopen(path, H5F_ACC_RDONLY, fapl);
    H5Pclose(fapl);
    if (f < 0) {
        fprintf(stderr, "mpi_hdf5: cannot open %s\n", path);
        return 1;
    }
    int bad = 0;
    double *buf = malloc(sizeof(double) * ROWS * COLS);
    hid_t ds = H5Dopen2(f, "/step/field", H5P_DEFAULT);
    hid_t xfer = H5Pcreate(H5P_DATASET_XFER);
    H5Pset_dxpl_mpio(xfer, H5FD_MPIO_COLLECTIVE);
    if (ds < 0 || H5Dread(ds, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, xfer, buf) < 0) {
        bad = 1;
    } else {
        long wrong = 0;
        for (hsize_t i = 0; i < ROWS; i++)
            for (hsize_t j = 0; j < COLS; j++)
                if (buf[i * COLS + j] != value(i, j)) wrong++;
        if (wrong) {
            fprintf(stderr, "mpi_hdf5: %s: %ld of %d elements wrong\n", path, wrong, ROWS * COLS);
            bad = 1;
        }
    }
    if (ds >= 0) H5Dclose(ds);
    H5Pclose(xfer);
    free(buf);
    H5Fclose(f);
    return bad;
}

int main(int argc, char **argv) {
    MPI_Init(&argc, &argv);
    int rank, P;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &P);
    int bad = 0;
    for (int a = 1; a < argc; a++) {
        bad |= write_file(argv[a], rank, P);
        bad |= check_file(argv[a]);
    }
    int any = 0;
    MPI_Allreduce(&bad, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    if (rank == 0 && !any)
        for (int a = 1; a < argc; a++) printf("%s: whole\n", argv[a]);
    MPI_Finalize();
    return any ? 1 : 0;
}
