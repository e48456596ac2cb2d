// How host arrays enter and leave the module: dtype probing, forced-cast
// conversion to C-contiguous arrays, and output arrays whose memory comes from
// the BufferPool and goes back to it when NumPy frees the array.
#pragma once

#include <cstdint>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "runtime/buffer_pool.hpp"

namespace qorva::dsp::bindings {

namespace py = pybind11;

// True when obj, viewed as a NumPy array, is float64 or complex128; anything
// else (including objects NumPy cannot view) takes the single-precision path.
bool is_double_precision(py::handle obj);

// Refuses inputs that are not numbers at all (None, strings, bytes, records,
// datetimes, object arrays) with a TypeError before NumPy would turn them into
// NaNs or fail half-way.
void require_numeric(py::handle obj);

// obj as a C-contiguous array of T, cast as needed (NumPy's force-cast rules).
template <typename T>
py::array_t<T, py::array::c_style> as_c_array(py::handle obj) {
    require_numeric(obj);
    // The converting constructor keeps NumPy's error (ensure() would clear it).
    return py::array_t<T, py::array::c_style | py::array::forcecast>(
        py::reinterpret_borrow<py::object>(obj));
}

// Number of elements as a transform length (signed 32-bit).
int32_t checked_length(py::ssize_t count);

// Byte count of `count` values of `elem` bytes, refusing sizes that overflow.
std::size_t checked_bytes(py::ssize_t count, std::size_t elem);

// A new NumPy array over a pooled block; C-contiguous unless strides (in bytes)
// are given.  The block returns to the pool when the array dies.
template <typename T>
py::array_t<T> pooled_array(const std::vector<py::ssize_t>& shape,
                            const std::vector<py::ssize_t>& strides = {}) {
    py::ssize_t count = 1;
    for (py::ssize_t extent : shape) {
        if (extent < 0) throw std::invalid_argument("array extents must be non-negative");
        if (extent != 0 && count > PTRDIFF_MAX / extent) throw std::bad_alloc();
        count *= extent;
    }
    PoolBuffer block(checked_bytes(count, sizeof(T)));
    py::capsule owner(block.get(), [](void* p) { pool_release(p); });
    void* data = block.release();  // the capsule owns it from here on
    if (strides.empty()) return py::array_t<T>(shape, static_cast<T*>(data), owner);
    return py::array_t<T>(shape, strides, static_cast<T*>(data), owner);
}

}  // namespace qorva::dsp::bindings
