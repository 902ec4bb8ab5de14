/*
 * Container_OpenFile: the container layer's record of one open container
 * file in this process. It ties the write side (WriteFile) and the read
 * index (Index) to the process, mode, path and open time, and counts the
 * opens through its Metadata part.
 *
 * The record owns only its path: the WriteFile and Index it points to are
 * made and released by the container layer, which also releases the
 * record. index_mux guards the index; callers take it with lockIndex().
 */
#ifndef VESK_OPENFILE_H
#define VESK_OPENFILE_H

#include <pthread.h>
#include <string>
#include <sys/types.h>
#include <time.h>

#include "container/Index.h"
#include "container/Metadata.h"
#include "container/WriteFile.h"

class Container_OpenFile : public Metadata {
public:
    /* `p` is copied; `wf` and `i` may be null. */
    Container_OpenFile(WriteFile *wf, Index *i, pid_t pi, mode_t m, const char *p);

    WriteFile *getWritefile();
    Index *getIndex();
    pid_t getPid();
    /* Records the path and hands a copy to the writer and the index. */
    void setPath(std::string p);
    const char *getPath() { return path.c_str(); }
    mode_t getMode() { return mode; }
    time_t getCtime() { return ctime; }
    void setIndex(Index *i) { index = i; }
    void setWritefile(WriteFile *wf) { writefile = wf; }
    int lockIndex();
    int unlockIndex();
    void setReopen() { reopen = true; }
    bool isReopen() { return reopen; }

private:
    WriteFile *writefile;
    Index *index;
    pthread_mutex_t index_mux;
    pid_t pid;
    mode_t mode;
    std::string path;
    time_t ctime;
    bool reopen;
};

#endif
