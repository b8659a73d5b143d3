// Output reports of one hidraw node, written by a helper process of ours.
//
// A board that stops reading its OUT endpoint holds a hidraw write for about 5 s in the
// kernel, and it holds it uninterruptibly: a thread of ours held there would keep the whole
// program from ending until then, and meanwhile the kernel also holds every open and every
// last close of any hidraw node. A small helper program (palvex-hidraw-writer, started by fork
// and exec, so it keeps no copy of this process's memory) takes the write instead, holding
// its own references to the node's open files, so this process can close its descriptors and
// end at once; the helper ends by itself when its write is done and nobody wants more. Where
// the helper cannot be started the write is made here.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace platform::linux_hid {

class CHidrawWriter {
  public:
    // nodeFd stays the caller's. The helper starts with the first write, so that it also holds
    // the node's other open files (the read handle) opened until then.
    explicit CHidrawWriter(int nodeFd);
    // Lets the helper go; never waits for a write it still holds.
    ~CHidrawWriter();
    CHidrawWriter(const CHidrawWriter&) = delete;
    CHidrawWriter& operator=(const CHidrawWriter&) = delete;

    // Writes one report and waits (in poll, interruptibly) for the helper's result: the bytes
    // written, or -1 with errno set. One caller at a time.
    ssize_t Write(const uint8_t* report, size_t length);

    // True while some write of this process has been outstanding longer than ms: the kernel
    // then holds hidraw opens and last closes, so nothing should try one.
    static bool WriteHeldLongerThan(int ms);

  private:
    bool StartChild();

    const int nodeFd;
    std::mutex mutex;  // one write at a time
    int channel = -1;  // our end of the socket pair to the helper
    bool failedToStart = false;
};

}  // namespace platform::linux_hid
