// Copies of block-allocator chunks for a host that forks worker processes
// over the nodes it holds (the host program's bakes). Host-private: not
// installed, and nothing a module calls.
//
// After a fork the two processes share every page of the scene until one of
// them writes it; the first write to each page then costs a page fault and
// a copy: several microseconds a page on a virtual machine, more than a
// cook of the nodes on it. A worker that is about to cook a group of nodes
// (a cook writes each node's matrices and stamps) takes its own copy of the
// chunks that hold them first, 2 MiB at a time, in one system call each.
// What it reads without writing stays shared. [host thread] After a fork,
// in each process that cooks; no other thread may touch the nodes
// meanwhile.
#pragma once

#include <cstdint>
#include <vector>

// In a forked child: the blocks freed before the fork and the unused rest of
// each chunk begun before it are left alone, so that new blocks come from
// chunks of the child's own and making them writes no page it shares with
// the parent. They are not reused in the child, which ends soon.
void UT_blockStorageInForkedChild();

// In the process that forks workers over the nodes it holds, while they run
// and it makes nodes of its own (the host program's bakes by nodes, which
// load parts after the fork): new blocks come from chunks of its own, as in
// a forked child, so that making them writes no page it shares with a
// worker. The blocks freed before come back when it is destroyed, and the
// larger of the two chunk rests goes on. Not nested. [host thread]
class UT_BlockStorageAside {
public:
    UT_BlockStorageAside();
    ~UT_BlockStorageAside();
    UT_BlockStorageAside(const UT_BlockStorageAside&) = delete;
    UT_BlockStorageAside& operator=(const UT_BlockStorageAside&) = delete;
};

class UT_BlockCopies {
public:
    // Makes this process's own copy of the chunk that holds block, unless
    // this object did already. A block that is not from a chunk (a large
    // one, or any under AddressSanitizer) is left as it is.
    void own(const void* block);

private:
    std::vector<std::uintptr_t> myOwned; // sorted
};
