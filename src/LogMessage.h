/*
 * LogMessage: the text of one I/O trace line, built in the caller's own
 * string stream and published by flush() as the process's most recent trace
 * message.
 *
 *     LogMessage m;
 *     m.addTime(now);            // seconds, 22 significant digits
 *     m.addFunction("pwrite");   // right-aligned in 13 columns
 *     m.addSize(len);
 *     m.addOff(off);
 *     m.addIds(getuid(), getgid());
 *     m.addPid(getpid());
 *     m.flush();                 // store it, and log it at INFO of "INT"
 *
 * Formatting takes no lock: one object belongs to one thread at a time.
 * flush() may run in many threads at once on different objects; the store
 * is guarded by one process-wide mutex that is never held while logging.
 * flush() leaves the text in the object, so later add calls extend it and a
 * later flush() stores the whole, longer text.
 *
 * Being a std::ostringstream, the object also takes any other << insertion.
 */
#ifndef VESK_LOGMESSAGE_H
#define VESK_LOGMESSAGE_H

#include <cstddef>
#include <sstream>
#include <string>
#include <sys/types.h>

class LogMessage : public std::ostringstream {
public:
    /* Empties the store (the message stored before no longer counts).
     * Call before the first flush(), never while one may run. Returns 0. */
    static int init();
    /* Nothing to do: every flush() stores its text at once. */
    static void Flush();
    /* The text of the most recent flush() since init(), whole (embedded
     * NULs included); the empty string when there was none. */
    static std::string Dump();

    /* Store this object's whole text as the most recent message, then hand
     * it to mlog when the log's filter passes (mlog sees it up to a NUL). */
    void flush();

    /* Width 22 and precision 22, general notation; the precision stays. */
    void addTime(double t);
    void addIds(uid_t uid, gid_t gid);
    void addPid(pid_t pid);
    void addOff(off_t off);
    void addSize(size_t size);
    /* Right-aligned in 13 columns. A null name sets badbit, after which
     * nothing more is written to this object. */
    void addFunction(const char *func);
};

#endif
