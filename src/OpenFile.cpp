#include "OpenFile.h"

#include "Util.h"

#include <sys/time.h>

Container_OpenFile::Container_OpenFile(WriteFile *wf, Index *i, pid_t pi, mode_t m,
                                       const char *p) {
    struct timeval t;
    gettimeofday(&t, nullptr);
    writefile = wf;
    index = i;
    pid = pi;
    path = p;
    mode = m;
    ctime = t.tv_sec;
    reopen = false;
    pthread_mutex_init(&index_mux, nullptr);
}

WriteFile *Container_OpenFile::getWritefile() { return writefile; }

Index *Container_OpenFile::getIndex() { return index; }

pid_t Container_OpenFile::getPid() { return pid; }

void Container_OpenFile::setPath(std::string p) {
    path = p;
    if (writefile) writefile->setContainerPath(p);
    if (index) index->setPath(p);
}

int Container_OpenFile::lockIndex() { return Util::MutexLock(&index_mux, "lockIndex"); }

int Container_OpenFile::unlockIndex() { return Util::MutexUnlock(&index_mux, "unlockIndex"); }
