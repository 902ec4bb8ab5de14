/*
 * The few MPI calls vesk_bench makes when its ranks are the writers and
 * readers (--mpi). Built without MPI (VESK_BENCH_MPI undefined), available()
 * is false and nothing else may be called.
 */
#ifndef VESK_BENCH_MPI_H
#define VESK_BENCH_MPI_H

#include <cstdlib>
#include <string>

#ifdef VESK_BENCH_MPI
// The C interface only: the C++ bindings are deprecated and warn.
#define OMPI_SKIP_MPICXX 1
#define MPICH_SKIP_MPICXX 1
#include <mpi.h>
#endif

namespace bench_mpi {

#ifdef VESK_BENCH_MPI
inline bool available() { return true; }
inline void init(int *argc, char ***argv) { MPI_Init(argc, argv); }
inline void finalize() { MPI_Finalize(); }
inline int rank() {
    int r = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &r);
    return r;
}
inline int size() {
    int n = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &n);
    return n;
}
/* Waits for every rank; returns the time it was passed. */
inline double barrier() {
    MPI_Barrier(MPI_COMM_WORLD);
    return MPI_Wtime();
}
inline int max_all(int v) {
    int out = v;
    MPI_Allreduce(&v, &out, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    return out;
}
/* Rank 0's string, on every rank. */
inline std::string bcast(const std::string &s) {
    int n = (int)s.size();
    MPI_Bcast(&n, 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::string out = s;
    out.resize((size_t)n);
    MPI_Bcast(&out[0], n, MPI_CHAR, 0, MPI_COMM_WORLD);
    return out;
}
[[noreturn]] inline void abort(int code) {
    MPI_Abort(MPI_COMM_WORLD, code);
    std::abort();
}
#else
inline bool available() { return false; }
inline void init(int *, char ***) {}
inline void finalize() {}
inline int rank() { return 0; }
inline int size() { return 1; }
inline double barrier() { std::abort(); }
inline int max_all(int v) { return v; }
inline std::string bcast(const std::string &s) { return s; }
[[noreturn]] inline void abort(int code) { std::exit(code); }
#endif

/* The launcher's name for this job, the same in every rank before MPI is
 * started (PMIx launchers, Open MPI), or "". */
inline std::string job_id() {
    for (const char *v : {"PMIX_NAMESPACE", "OMPI_MCA_ess_base_jobid"}) {
        const char *e = getenv(v);
        if (e && *e) return e;
    }
    return "";
}

}  // namespace bench_mpi

#endif
