// Memory shared with forked children (the bake's workers): MAP_SHARED, so
// that what a child writes the parent reads; unmapped when its object is
// destroyed. Lock-free atomics placed in it work across processes.
#pragma once

#include <cstddef>
#include <string>

namespace mhost {

class SharedMemory {
public:
    // bytes of memory (at least one page), its pages faulted in on first
    // use. RunError "WHAT needs N MiB of memory, which the system
    // refused: ..." when the system refuses. With asFile, the memory is an
    // anonymous file's (memfd) when the system allows, so that the kernel
    // can copy to and from it without this process mapping its pages (see
    // fd()).
    SharedMemory(std::size_t bytes, const std::string& what, bool asFile = false);
    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // The anonymous file that holds the memory, its offset 0 at data(); -1
    // when it was not made asFile or the system made none.
    int fd() const { return fd_; }
    // Pre-faults the pages that hold bytes [first, first + bytes): cheaper
    // than a page fault for each on first use.
    void populateBytes(std::size_t first, std::size_t bytes) const;

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    int fd_ = -1;
};

// A T made in shared memory, destroyed with it.
template <typename T> class SharedObject {
public:
    explicit SharedObject(const std::string& what)
        : memory_(sizeof(T), what), object_(new (memory_.data()) T) {}
    ~SharedObject() { object_->~T(); }
    SharedObject(const SharedObject&) = delete;
    SharedObject& operator=(const SharedObject&) = delete;
    T& operator*() const { return *object_; }
    T* operator->() const { return object_; }

private:
    SharedMemory memory_;
    T* object_;
};

} // namespace mhost
