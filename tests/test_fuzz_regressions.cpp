// Replays the fuzz targets' inputs in an ordinary build: every crash input
// under tests/fuzz/regressions/<target>/, every seed under
// tests/fuzz/corpus/<target>/ and the reproducers of known faults under
// tests/fuzz/known/<target>/, through the same entry code the fuzzer runs.
// A broken invariant there throws, and the test names the input.
#define VESK_FUZZ_REPLAY 1

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_bufdig.cpp"
#include "fuzz/fuzz_config.cpp"
#include "fuzz/fuzz_flat_index.cpp"
#include "fuzz/fuzz_index_log.cpp"
#include "fuzz/fuzz_meta.cpp"
#include "fuzz/fuzz_msgsink.cpp"

namespace {

using Target = std::function<void(const uint8_t *, size_t)>;

const std::map<std::string, Target> &targets() {
    static const std::map<std::string, Target> t{
        {"bufdig", vesk_fuzz_bufdig},       {"config", vesk_fuzz_config},
        {"flat_index", vesk_fuzz_flat_index}, {"index_log", vesk_fuzz_index_log},
        {"meta", vesk_fuzz_meta},           {"msgsink", vesk_fuzz_msgsink},
    };
    return t;
}

std::vector<std::string> list(const std::string &dir, bool dirs) {
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n[0] == '.') continue;
        struct stat st;
        if (stat((dir + "/" + n).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode) == dirs) out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs every input below `root`/<target>/; returns how many ran. With
// `broke`, an input that breaks an invariant is counted there instead of
// failing the test.
size_t replay(const std::string &root, std::vector<std::string> *broke = nullptr) {
    size_t ran = 0;
    for (const std::string &t : list(root, true)) {
        auto it = targets().find(t);
        EXPECT_NE(it, targets().end()) << root << "/" << t << ": no such fuzz target";
        if (it == targets().end()) continue;
        for (const std::string &f : list(root + "/" + t, false)) {
            std::string path = root + "/" + t + "/" + f;
            std::string bytes = slurp(path);
            try {
                it->second(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            } catch (const std::exception &e) {
                if (broke) broke->push_back(path + ": " + e.what());
                else ADD_FAILURE() << path << ": " << e.what();
            }
            ran++;
        }
    }
    return ran;
}

const std::string kFuzzDir = VESK_SOURCE_DIR "/tests/fuzz";

TEST(FuzzRegressions, CrashInputsStayMended) {
    // Empty when the fuzzers never found anything; each file is a fault
    // that was mended and must stay so.
    replay(kFuzzDir + "/regressions");
}

TEST(FuzzRegressions, SeedCorporaHoldTheInvariants) {
    // Every target has seeds, so a target that loses its corpus is noticed.
    for (const auto &kv : targets())
        EXPECT_FALSE(list(kFuzzDir + "/corpus/" + kv.first, false).empty()) << kv.first;
    EXPECT_GT(replay(kFuzzDir + "/corpus"), targets().size());
}

TEST(FuzzRegressions, KnownFaultInputsBreakNothingElse) {
    // Reproducers of faults reported to the code's owner and not mended
    // yet: apart from the known fault they must hold every invariant.
    replay(kFuzzDir + "/known");
    // Which of them still show their fault: once one no longer does, its
    // input belongs in regressions/ and its check can become a plain one.
    std::vector<std::string> still;
    vesk_fuzz::strict_flag() = true;
    size_t ran = replay(kFuzzDir + "/known", &still);
    vesk_fuzz::strict_flag() = false;
    for (const std::string &s : still) std::cout << "known fault still there: " << s << "\n";
    if (still.size() < ran)
        std::cout << ran - still.size() << " known-fault inputs no longer fail: move them\n";
}

}  // namespace
