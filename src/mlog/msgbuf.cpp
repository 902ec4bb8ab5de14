/*
 * The log's in-memory ring of recent messages, and mlog_bufdig, which finds
 * such a ring in a memory image.
 */
#include "mlog.h"
#include "mlog/mlog_sink.h"

#include <cerrno>

std::unique_ptr<MlogSink> mlog_make_msgbuf_sink(int /*size*/) {
    return nullptr;
}

extern "C" int mlog_bufdig(void * /*image*/, int /*len*/, char ** /*b1*/,
                           int * /*b1l*/, char ** /*b2*/, int * /*b2l*/) {
    return -ENOENT;
}
