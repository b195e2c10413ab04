// UT_Array: the host's growable array of plain values.
//
// A thin, bounds-safe wrapper over std::vector. Reading an index outside the
// array is a programming error in the caller; operator[] asserts in debug
// builds and the host never relies on it being checked.
#pragma once

#include <cassert>
#include <cstddef>
#include <vector>

template <typename T> class UT_Array {
public:
    UT_Array() = default;

    // Sets the entry count to n. New entries are value-initialised (0);
    // shrinking drops the entries from the end. resize(0) empties the array.
    void resize(std::size_t n) { myData.resize(n); }

    // Adds v after the last entry; returns the index of the new entry.
    std::size_t append(const T& v) {
        myData.push_back(v);
        return myData.size() - 1;
    }

    // Entry n; 0 <= n < entries().
    T& operator[](std::size_t n) {
        assert(n < myData.size());
        return myData[n];
    }
    const T& operator[](std::size_t n) const {
        assert(n < myData.size());
        return myData[n];
    }

    // Number of entries.
    std::size_t entries() const { return myData.size(); }
    bool isEmpty() const { return myData.empty(); }

    // Reserves room for n entries without changing the count.
    void setCapacity(std::size_t n) { myData.reserve(n); }

    const T* begin() const { return myData.data(); }
    const T* end() const { return myData.data() + myData.size(); }

private:
    std::vector<T> myData;
};

// 32-bit float and 32-bit int arrays used by plug-ins for cached values.
using UT_FloatArray = UT_Array<float>;
using UT_IntArray = UT_Array<int>;
