// Memory private to this process, in 2 MiB pages where the system gives
// them (transparent huge pages in "madvise" mode): a bake's matrices. On a
// virtual machine that shadows the guest's page tables, the first write to
// each 4 KiB page traps to the hypervisor (several microseconds, more than
// the cooks that fill it); a 2 MiB page traps once for 512 of them. Shared
// memory gets no such pages, so forked workers write into their own copy of
// this memory and hand what they wrote to the parent (bake_result.hpp).
#pragma once

#include <cstddef>
#include <string>

namespace mhost {

// RunError "WHAT needs N MiB of memory, which the system refused: " and
// errno's text: the one message for memory the system will not give.
[[noreturn]] void memoryRefused(const std::string& what, std::size_t bytes);
// memoryRefused for more bytes than the system has, memory and swap, at all:
// refused at once, whatever the kernel's overcommit policy would let through
// until the pages fill.
void refuseBeyondTheSystem(const std::string& what, std::size_t bytes);

// Faults in the pages of data (size bytes mapped) that hold bytes [first,
// first + bytes) in one call. Kernels before 5.14 lack MADV_POPULATE_WRITE:
// a touch of each page faults it in instead, a write where writes is set
// (private memory, whose read fault maps no page of its own), else a read
// (shared memory, allocated on a read fault too, where a write could undo
// another process's). What the pages hold is kept.
void faultInPages(char* data, std::size_t size, std::size_t first, std::size_t bytes, bool writes);

class PrivateMemory {
public:
    // bytes of memory (at least one byte), faulted in on first use or by
    // populate; RunError as memoryRefused when the system refuses. Untouched
    // until then: a child forked before the first write gets pages of its
    // own, not copies of its parent's.
    PrivateMemory(std::size_t bytes, const std::string& what);
    ~PrivateMemory();
    PrivateMemory(const PrivateMemory&) = delete;
    PrivateMemory& operator=(const PrivateMemory&) = delete;

    char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Pre-faults the pages that hold bytes [first, first + bytes).
    void populate(std::size_t first, std::size_t bytes) const;

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0; // from data_
};

} // namespace mhost
