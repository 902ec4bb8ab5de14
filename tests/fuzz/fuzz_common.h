// Shared by the fuzz targets and by the test that replays their inputs.
//
// Each target defines vesk_fuzz_<name>(data, size) and, unless
// VESK_FUZZ_REPLAY is set, the libFuzzer entry that calls it.  A broken
// invariant aborts under the fuzzer (so libFuzzer saves the input) and
// throws in the replay test (so GoogleTest names the input and goes on).
#ifndef VESK_TESTS_FUZZ_COMMON_H
#define VESK_TESTS_FUZZ_COMMON_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk_fuzz {

struct InvariantBroken : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void broken(const char *file, int line, const char *what) {
    std::string msg = std::string(file) + ":" + std::to_string(line) +
                      ": invariant broken: " + what;
#ifdef VESK_FUZZ_REPLAY
    throw InvariantBroken(msg);
#else
    fprintf(stderr, "%s\n", msg.c_str());
    abort();
#endif
}

// Faults found by the fuzzers in code this directory does not own, reported
// but not mended yet, are checked only in strict mode (VESK_FUZZ_STRICT=1),
// so that every other invariant keeps being fuzzed meanwhile. Their
// reproducers wait in tests/fuzz/known/<target>/.
inline bool& strict_flag() {
    static bool on = [] {
        const char *e = getenv("VESK_FUZZ_STRICT");
        return e && *e && strcmp(e, "0") != 0;
    }();
    return on;
}

// Reads the input front to back; past its end every read yields zeros, so
// a target never has to check what is left.
class Reader {
public:
    Reader(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    uint8_t u8() { return pos_ < n_ ? d_[pos_++] : 0; }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) v |= (uint32_t)u8() << (8 * i);
        return v;
    }
    uint64_t u64() { return (uint64_t)u32() | ((uint64_t)u32() << 32); }
    // Up to `max` bytes, fewer when the input runs out.
    std::string bytes(size_t max) {
        size_t k = n_ - pos_ < max ? n_ - pos_ : max;
        std::string s(reinterpret_cast<const char *>(d_ + pos_), k);
        pos_ += k;
        return s;
    }
    std::string rest() { return bytes(n_ - pos_); }
    size_t left() const { return n_ - pos_; }

private:
    const uint8_t *d_;
    size_t n_;
    size_t pos_ = 0;
};

// A private directory for this process's scratch files, on /dev/shm when
// there is one (no disk traffic per run), made once, reused, and removed at
// exit.  The name lives in a plain array so that it outlasts the static
// objects destroyed before the exit handler runs.
inline char g_scratch[4096];

inline const char *scratch_dir() {
    if (g_scratch[0] == '\0') {
        // $VESK_FUZZ_SCRATCH: scripts/fuzz keeps them in its work directory,
        // so that a run that aborts leaves nothing elsewhere.
        const char *base = getenv("VESK_FUZZ_SCRATCH");
        if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        snprintf(g_scratch, sizeof g_scratch, "%s/vesk-fuzz.%d", base, (int)getpid());
        if (mkdir(g_scratch, 0700) != 0 && errno != EEXIST) {
            perror(g_scratch);
            abort();
        }
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(g_scratch, ec);
        });
    }
    return g_scratch;
}

}  // namespace vesk_fuzz

#define FUZZ_CHECK(cond)                                                  \
    do {                                                                  \
        if (!(cond)) ::vesk_fuzz::broken(__FILE__, __LINE__, #cond);      \
    } while (0)

// `what` names the fault, as in the report that describes it.
#define FUZZ_KNOWN(cond, what)                                                   \
    do {                                                                         \
        if (!(cond) && ::vesk_fuzz::strict_flag())                               \
            ::vesk_fuzz::broken(__FILE__, __LINE__, #cond " (known: " what ")"); \
    } while (0)

#ifdef VESK_FUZZ_REPLAY
#define VESK_FUZZ_ENTRY(fn)
#else
#define VESK_FUZZ_ENTRY(fn)                                                    \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { \
        fn(data, size);                                                        \
        return 0;                                                              \
    }
#endif

#endif
