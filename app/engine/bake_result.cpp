#include "engine/bake_result.hpp"

#include "support/shared_memory.hpp"

namespace mhost {

BakeBuffer::BakeBuffer(std::size_t doubles)
    : memory_(std::make_unique<SharedMemory>(doubles * sizeof(double), "the bake", true)),
      size_(doubles) {}

BakeBuffer::~BakeBuffer() = default;

int BakeBuffer::fd() const {
    return memory_->fd();
}

void BakeBuffer::closeFile() {
    memory_->closeFile();
}

double* BakeBuffer::data() const {
    return reinterpret_cast<double*>(memory_->data());
}

void BakeBuffer::populate(std::size_t share, std::size_t shares, const Interrupt& interrupt) {
    memory_->populate(share, shares, interrupt);
}

void BakeBuffer::populateDoubles(std::size_t first, std::size_t count) {
    memory_->populateBytes(first * sizeof(double), count * sizeof(double));
}

} // namespace mhost
