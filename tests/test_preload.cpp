/* Unmodified programs under the preload library on a container mount and a
 * flat mount, each compared with the same commands on a plain directory run
 * without it. The mount points do not exist in the kernel's file system,
 * so any call that slips past the preload fails. */
#include <gtest/gtest.h>

#include <dirent.h>
#include <string>

#include "preload_test_util.h"

using vesk_test::PreloadEnv;
using vesk_test::RunResult;
using vesk_test::have;

namespace {

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    if (from.empty()) return s;
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

// Entries below a directory, counted (the vesk run must have put data in
// its backends, not somewhere else).
size_t count_entries(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return 0;
    size_t n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n;
}

class PreloadPrograms : public ::testing::TestWithParam<std::string> {
protected:
    PreloadEnv env;
    std::string mount() const { return GetParam() == "container" ? env.container : env.flat; }
    size_t backend_entries() const {
        if (GetParam() == "container")
            return count_entries(env.backends[0]) + count_entries(env.backends[1]);
        return count_entries(env.backends[2]);
    }

    // Runs the script on the plain directory (no preload) and on the
    // mount (preloaded); both must succeed with the same output, paths
    // aside. Returns the vesk run's output.
    std::string same(const std::string &script, bool leaves_files = true) {
        RunResult plain = env.sh(script, env.plain, false);
        EXPECT_EQ(plain.status, 0) << "plain run failed: " << plain.err;
        RunResult v = env.sh(script, mount(), true);
        EXPECT_EQ(v.status, 0) << "vesk run failed: " << v.err;
        EXPECT_EQ(replace_all(v.out, mount(), "$D"), replace_all(plain.out, env.plain, "$D"))
            << "stderr of the vesk run: " << v.err;
        if (leaves_files) {
            EXPECT_GT(backend_entries(), 0u) << "nothing reached the backends";
        }
        return v.out;
    }
};

// A source tree of files of several sizes, made outside any mount, once
// for both runs of a test.
const char *kMakeSource =
    "[ -e $T/src ] || { mkdir -p $T/src/sub/deeper && "
    "head -c 300000 /dev/urandom > $T/src/big && "
    "head -c 70001 /dev/urandom > $T/src/sub/mid && "
    "printf 'small\\n' > $T/src/sub/deeper/small && : > $T/src/empty && "
    "ln -sf big $T/src/link_to_big; }; ";

TEST_P(PreloadPrograms, CopyCatChecksum) {
    std::string out = same(std::string(kMakeSource) +
                           "cp $T/src/big $D/f && cat $D/f | sha256sum | cut -c1-64 && "
                           "sha256sum < $D/f | cut -c1-64 && cp $D/f $D/g && cmp $D/f $D/g && "
                           "cat $T/src/sub/mid $D/f > $D/h && stat -c '%s' $D/h && "
                           "cp $D/h $T/back_$$ && cmp $T/back_$$ $D/h && echo copied-out && "
                           "sha256sum $T/src/big | cut -c1-64");
    // The first and last hashes are of the same bytes.
    EXPECT_EQ(out.substr(0, 64), out.substr(out.size() - 65, 64));
}

TEST_P(PreloadPrograms, DdFourWritersInterleaved) {
    // Four processes, each writing every fourth 4 KiB block in place.
    same("[ -e $T/blocks ] || head -c 65536 /dev/urandom > $T/blocks; : > $D/ck; "
         "for w in 0 1 2 3; do ( for b in $w $((w+4)) $((w+8)) $((w+12)); do "
         "dd if=$T/blocks of=$D/ck bs=4096 skip=$b seek=$b count=1 conv=notrunc status=none || exit 1; "
         "done ) & done; wait; "
         "stat -c %s $D/ck; cmp $T/blocks $D/ck && echo same-bytes; "
         // An unaligned range read in byte units: dd's own buffer stays a
         // multiple of the page, which sanitized runs insist on.
         "dd if=$D/ck bs=4096 iflag=skip_bytes,count_bytes skip=3000 count=5000 status=none "
         "| sha256sum | cut -c1-64");
}

TEST_P(PreloadPrograms, NamesAndAttributes) {
    same("mkdir -p $D/a/b/c && touch $D/a/b/t && echo hi > $D/a/x && mv $D/a/x $D/a/b/y && "
         "cd $D/a && ls -l b | awk 'NR>1 {print $1, ($1 ~ /^d/ ? \"-\" : $5), $9}' && "
         "stat -c '%n %s %F %a' b/y b/t b/c && truncate -s 5000 b/y && stat -c %s b/y && "
         "truncate -s 2 b/y && cat b/y && touch -d '2020-01-02 03:04:05' b/t && "
         "stat -c %Y b/t && chmod 600 b/t && stat -c %a b/t && "
         "test -d b/c && test ! -e b/nothing && cd .. && pwd && rm -r a && ls -A && "
         "mkdir -p m && rmdir m && ls -A", false);
}

TEST_P(PreloadPrograms, TarCreateExtract) {
    same(std::string(kMakeSource) +
         "mkdir $D/x && tar cf - -C $T/src . | tar xf - -C $D/x && diff -r $T/src $D/x && "
         "tar cf $D/t.tar -C $D/x . && tar tf $D/t.tar | sort && mkdir $T/y_$$ && "
         "tar xf $D/t.tar -C $T/y_$$ && diff -r $T/src $T/y_$$ && echo round-trip && "
         "readlink $D/x/link_to_big");
}

TEST_P(PreloadPrograms, BashRedirectionsAndPipelines) {
    same("for i in 1 2 3; do /bin/echo $i; done > $D/file; cat $D/file; "
         "echo more >> $D/file; /bin/echo external >> $D/file; wc -l < $D/file; "
         "sort -r $D/file | head -2 > $D/sorted; cat $D/sorted; "
         "while read l; do echo \"line:$l\"; done < $D/file; "
         "{ echo out; echo err >&2; } > $D/both 2>&1; cat $D/both; "
         "exec 7> $D/fd7; echo via7 >&7; /bin/echo child7 >&7; exec 7>&-; cat $D/fd7; "
         "(cd $D && /bin/pwd && ls)");
}

TEST_P(PreloadPrograms, TimesToTheNanosecondAndALinksOwnTimes) {
    if (!have("python3")) GTEST_SKIP() << "python3 is not installed";
    // Nanoseconds by path and through a descriptor, UTIME_OMIT, and
    // `touch -h` setting the link's times while its target's stay.
    same("echo x > $D/t && python3 -c \"import os, sys; p = sys.argv[1]; "
         "os.utime(p, ns=(1000000001, 1234567890123456789)); s = os.stat(p); "
         "print(s.st_atime_ns, s.st_mtime_ns); fd = os.open(p, os.O_RDONLY); "
         "os.utime(fd, ns=(2000000002, 1300000000987654321)); os.close(fd); s = os.stat(p); "
         "print(s.st_atime_ns, s.st_mtime_ns)\" $D/t && "
         // Not the access time here: a container's is its directory's,
         // which the open touch makes reads (relatime moves it).
         "touch -m -d '@1400000000.5' $D/t && stat -c %.9Y $D/t && "
         "ln -s t $D/l && touch -h -d '2001-02-03 04:05:06.25' $D/l && "
         "stat -c '%N %.9Y' $D/l && stat -c %.9Y $D/t");
}

TEST_P(PreloadPrograms, FallocateGrowsAndNeverShrinks) {
    same("printf abc > $D/fa && fallocate -l 10000 $D/fa && stat -c %s $D/fa && "
         "fallocate -o 2 -l 1 $D/fa && stat -c %s $D/fa && head -c 3 $D/fa && echo && "
         "tail -c 5 $D/fa | od -An -c && fallocate -o 20000 -l 5 $D/fa && stat -c %s $D/fa");
}

TEST_P(PreloadPrograms, PythonFileAndOs) {
    if (!have("python3")) GTEST_SKIP() << "python3 is not installed";
    const char *py = R"PY(
import os, sys
d = os.environ['D']
p = os.path.join(d, 'py.txt')
with open(p, 'w') as f:
    f.write('hello\n' * 1000)
with open(p, 'a') as f:
    f.write('tail\n')
with open(p, 'rb') as f:
    f.seek(6000)
    print(f.read(5), f.tell())
print(os.stat(p).st_size, os.path.getsize(p), os.path.isfile(p), os.path.isdir(d))
os.makedirs(os.path.join(d, 'k/l'), exist_ok=True)
os.rename(p, os.path.join(d, 'k/l/moved'))
print(sorted(os.listdir(d)), sorted(os.listdir(os.path.join(d, 'k/l'))))
print([(r[len(d):], sorted(ds), sorted(fs)) for r, ds, fs in os.walk(d)])
fd = os.open(os.path.join(d, 'raw'), os.O_RDWR | os.O_CREAT, 0o640)
os.pwrite(fd, b'abcdef', 10)
print(os.pread(fd, 4, 8), os.fstat(fd).st_size, os.lseek(fd, 0, os.SEEK_END))
os.ftruncate(fd, 3); os.fsync(fd); os.close(fd)
print(open(os.path.join(d, 'raw'), 'rb').read())
os.remove(os.path.join(d, 'raw'))
print(os.path.exists(os.path.join(d, 'raw')))
)PY";
    vesk_test::write_file(env.tmp.sub("t.py"), py);
    same("/usr/bin/python3 $T/t.py");
}

TEST_P(PreloadPrograms, VectorCallsGatherScatterAndMoveTheOffset) {
    if (!have("python3")) GTEST_SKIP() << "python3 is not installed";
    // one buffer and several, empty ones among them, short reads at the end
    const char *py = R"PY(
import os
d = os.environ['D']
fd = os.open(os.path.join(d, 'v'), os.O_RDWR | os.O_CREAT, 0o644)
print(os.writev(fd, [b'abc', b'', b'defgh']), os.lseek(fd, 0, os.SEEK_CUR))
print(os.writev(fd, [b'0123456789' * 1000]), os.lseek(fd, 0, os.SEEK_CUR))
print(os.pwritev(fd, [b'XY', b'Z'], 1), os.lseek(fd, 0, os.SEEK_CUR))
os.lseek(fd, 0, os.SEEK_SET)
a, b, c = bytearray(2), bytearray(0), bytearray(4)
print(os.readv(fd, [a, b, c]), a, c, os.lseek(fd, 0, os.SEEK_CUR))
big = bytearray(20000)
print(os.readv(fd, [big]), bytes(big[:12]), bytes(big[10000:10004]), os.lseek(fd, 0, os.SEEK_CUR))
x, y = bytearray(3), bytearray(5)
print(os.preadv(fd, [x, y], 10006), x, y, os.lseek(fd, 0, os.SEEK_CUR))
one = bytearray(6)
print(os.preadv(fd, [one], 0), one)
print(os.preadv(fd, [bytearray(4)], 20000), os.readv(fd, [bytearray(1), bytearray(1)]))
os.close(fd)
)PY";
    vesk_test::write_file(env.tmp.sub("v.py"), py);
    same("/usr/bin/python3 $T/v.py");
}

// unlink(2) answers as the kernel does: a directory (empty, full, or held
// open) is refused and stays, a missing name is missing, a link to a
// directory goes alone; unlinkat likewise, and with AT_REMOVEDIR only for
// an empty directory.
TEST_P(PreloadPrograms, UnlinkRefusesDirectoriesAsTheKernelDoes) {
    if (!have("python3")) GTEST_SKIP() << "python3 is not installed";
    const char *py = R"PY(
import errno, os
d = os.environ['D']
def err(f, *a, **k):
    try:
        f(*a, **k)
        return 'ok'
    except OSError as e:
        return errno.errorcode[e.errno]
os.makedirs(os.path.join(d, 'full/sub'))
os.mkdir(os.path.join(d, 'empty'))
open(os.path.join(d, 'file'), 'w').close()
os.symlink('full', os.path.join(d, 'link'))
held = os.open(os.path.join(d, 'empty'), os.O_RDONLY)
for n in ('full', 'empty', 'full/sub', 'nothing', 'nothing/deeper'):
    print(n, err(os.unlink, os.path.join(d, n)))
dfd = os.open(d, os.O_RDONLY)
print(err(os.unlink, 'full', dir_fd=dfd), err(os.rmdir, 'full', dir_fd=dfd),
      err(os.rmdir, 'file', dir_fd=dfd))
print(err(os.unlink, os.path.join(d, 'link')), err(os.unlink, os.path.join(d, 'file')))
os.close(held)
print(err(os.rmdir, 'empty', dir_fd=dfd))
os.close(dfd)
print(sorted(os.listdir(d)), sorted(os.listdir(os.path.join(d, 'full'))))
)PY";
    vesk_test::write_file(env.tmp.sub("unlink.py"), py);
    same("/usr/bin/python3 $T/unlink.py");
}

// The temporary-file pattern: open, unlink, then work through the
// descriptor (and a dup of it) only; Python's TemporaryFile does the same
// (O_TMPFILE where the directory takes it). The name is free at once, and
// nothing of the files stays once they are closed.
TEST_P(PreloadPrograms, UnlinkedFilesLiveUntilTheirLastClose) {
    if (!have("python3")) GTEST_SKIP() << "python3 is not installed";
    const char *py = R"PY(
import os, tempfile
d = os.environ['D']
p = os.path.join(d, 'scratch')
fd = os.open(p, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
os.unlink(p)
print(os.path.exists(p), os.listdir(d))
os.write(fd, b'0123456789' * 10000)
os.lseek(fd, 0, os.SEEK_SET)
print(len(os.read(fd, 200000)), os.pread(fd, 5, 99995))
st = os.fstat(fd)
print(st.st_size, st.st_nlink)
os.ftruncate(fd, 12)
os.fsync(fd)
print(os.fstat(fd).st_size, os.pread(fd, 100, 0), os.lseek(fd, 0, os.SEEK_END))
with open(p, 'w') as f:
    f.write('new')
print(os.pread(fd, 100, 0), open(p).read())
fd2 = os.dup(fd)
os.close(fd)
os.pwrite(fd2, b'!', 20)
print(os.pread(fd2, 100, 8), os.fstat(fd2).st_size)
os.close(fd2)
os.unlink(p)
for mode in ('w+b', 'w+'):
    with tempfile.TemporaryFile(mode=mode, dir=d) as t:
        t.write(b'temporary' * 5000 if 'b' in mode else 'text\n' * 3000)
        t.flush()
        t.seek(0)
        print(len(t.read()), os.fstat(t.fileno()).st_size, os.fstat(t.fileno()).st_nlink,
              os.listdir(d))
print(os.listdir(d))
)PY";
    vesk_test::write_file(env.tmp.sub("tmpfile.py"), py);
    same("/usr/bin/python3 $T/tmpfile.py", false);
    if (GetParam() == "container")
        for (int b : {0, 1}) {
            std::vector<std::string> left = vesk_test::staged_entries(env.backends[b]);
            EXPECT_TRUE(left.empty()) << env.backends[b] << " keeps " << left[0] << " staged";
        }
}

TEST_P(PreloadPrograms, FioVerifiedJobsOnOneFile) {
    if (!have("fio")) GTEST_SKIP() << "fio is not installed";
    // Four jobs each writing and verifying their own quarter of one file.
    RunResult v = env.sh(
        "fio --name=ck --filename=$D/fio.dat --ioengine=psync --rw=write --bs=16k "
        "--size=1m --numjobs=4 --offset_increment=1m --verify=crc32c --do_verify=1 "
        "--thread=0 --verify_state_save=0 --group_reporting --output-format=terse --minimal >/dev/null && "
        "stat -c %s $D/fio.dat && fio --name=rd --filename=$D/fio.dat --ioengine=psync --rw=read "
        "--bs=16k --size=4m --verify=crc32c --verify_only=1 --minimal >/dev/null && echo verified",
        mount());
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(v.out, "4194304\nverified\n") << v.err;
}

TEST_P(PreloadPrograms, SqliteRollbackJournal) {
    if (!have("sqlite3")) GTEST_SKIP() << "sqlite3 is not installed";
    same("sqlite3 $D/db.sqlite \"PRAGMA journal_mode=DELETE; CREATE TABLE t(k INTEGER PRIMARY KEY, v TEXT); "
         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 2000) "
         "INSERT INTO t SELECT i, printf('%0200d', i) FROM n;\" && "
         "sqlite3 $D/db.sqlite \"BEGIN; UPDATE t SET v = 'x' WHERE k % 3 = 0; DELETE FROM t WHERE k % 7 = 0; "
         "COMMIT; BEGIN; DELETE FROM t; ROLLBACK; PRAGMA integrity_check; "
         "SELECT count(*), sum(k), sum(length(v)) FROM t;\" && ls $D | sort");
}

INSTANTIATE_TEST_SUITE_P(Layouts, PreloadPrograms, ::testing::Values("container", "flat"));

// Outside the mounts nothing changes: the same commands give the same
// results with the preload as without.
TEST(PreloadPassThrough, PlainDirectoryUnchanged) {
    PreloadEnv env;
    std::string script = std::string(kMakeSource) +
                         "cp -r $T/src $D/c && (cd $D && find c | sort && cat c/big c/sub/mid | sha256sum) && "
                         "ls -lR $D/c | awk '{print $1, $5, $9}' && mv $D/c $D/d && rm -r $D/d && ls -A $D";
    RunResult a = env.sh(script, env.plain, false);
    RunResult b = env.sh(script, env.plain, true);
    EXPECT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(a.out, b.out);
}

// A file name under a mount that the kernel would also accept must still
// go to vesk, however it is spelled.
TEST(PreloadPaths, SpellingsOfOnePath) {
    PreloadEnv env;
    RunResult r = env.sh("mkdir -p $D/s && echo one > $D//s/./f && cat $D/s/../s/f && cd $D/s && "
                         "cat ./f ../s/f && cd / && cat ${D#/}/s/f && ls $D/s/",
                         env.container);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "one\none\none\none\nf\n");
}

}  // namespace
