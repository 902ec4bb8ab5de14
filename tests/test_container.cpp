/* The container layer through containerfs: layout on the backend, the
 * merge of writers' logs, truncation, flattening, crash left-overs and the
 * path operations. */
#include "container_test_util.h"

#include "container/Format.h"
#include "container/Index.h"
#include "container/Layout.h"

#include <dirent.h>
#include <set>
#include <signal.h>
#include <sys/wait.h>

using namespace vesk_test;

namespace {

std::set<std::string> list(const std::string &dir) {
    std::set<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")))
            out.insert(e->d_name);
    closedir(d);
    return out;
}

class ContainerTest : public ContainerMount {};

TEST_F(ContainerTest, WriteReadBackAndLayout) {
    std::string data = pattern(10000, 1);
    write_file_at("f", data, 0);
    std::string dir = backend("f");
    struct stat st;
    ASSERT_EQ(0, lstat(dir.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(container_is_container(dir));
    std::string hd = vesk_cont::hostdir(dir, vesk_cont::host());
    std::set<std::string> logs = list(hd);
    EXPECT_EQ(1u, logs.count("data." + std::to_string(getpid())));
    EXPECT_EQ(1u, logs.count("index." + std::to_string(getpid())));
    // data log holds exactly the bytes written, unframed
    EXPECT_EQ(data, read_file(hd + "/data." + std::to_string(getpid())));
    EXPECT_EQ(data, read_all("f"));
    EXPECT_EQ((off_t)data.size(), size_of("f"));
}

}  // namespace
