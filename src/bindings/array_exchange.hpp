// How host arrays enter and leave the module: dtype probing, forced-cast
// conversion to C-contiguous arrays, and output arrays whose memory comes from
// the BufferPool and goes back to it when NumPy frees the array.
#pragma once

#include <algorithm>
#include <complex>
#include <initializer_list>
#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "bindings/array_limits.hpp"
#include "ops/framing.hpp"
#include "runtime/buffer_pool.hpp"

namespace qorva::dsp::bindings {

namespace py = pybind11;

// True when obj, viewed as a NumPy array, is float64 or complex128; anything
// else (including objects NumPy cannot view) takes the single-precision path.
bool is_double_precision(py::handle obj);

// Refuses inputs that are not numbers at all (None, strings, bytes, records,
// datetimes, object arrays) with a TypeError before NumPy would turn them into
// NaNs or fail half-way, and arrays beyond kMaxArrayElements with a ValueError
// before anything is converted.
void require_numeric(py::handle obj);

// Number of elements as a transform length (signed 32-bit).
int32_t checked_length(py::ssize_t count);

// Byte count of `count` values of `elem` bytes, refusing sizes that overflow.
std::size_t checked_bytes(py::ssize_t count, std::size_t elem);

// A new NumPy array over a pooled block; C-contiguous unless strides (in bytes)
// are given.  The block returns to the pool when the array dies.
template <typename T>
py::array_t<T> pooled_array(const std::vector<py::ssize_t>& shape,
                            const std::vector<py::ssize_t>& strides = {}) {
    const int64_t count = check_array_extents("output", shape.data(), shape.size());
    PoolBuffer block(checked_bytes(count, sizeof(T)));
    py::capsule owner(block.get(), [](void* p) { pool_release(p); });
    void* data = block.release();  // the capsule owns it from here on
    if (strides.empty()) return py::array_t<T>(shape, static_cast<T*>(data), owner);
    return py::array_t<T>(shape, strides, static_cast<T*>(data), owner);
}

// Copies an array of `ndim` dimensions, any byte strides, into C order at
// dst, in parallel over its rows (all dimensions but the last).
void copy_strided(const void* src, py::ssize_t ndim, const py::ssize_t* shape, const py::ssize_t* strides,
                  std::size_t item, void* dst);

// obj as a C-contiguous, aligned array of T, cast as needed (NumPy's
// force-cast rules); misaligned memory is copied.  A strided array of type T
// (a broadcast gradient, a transposed view) is copied into pooled memory,
// which a new NumPy array of that size would pay to touch page by page.
template <typename T>
py::array_t<T, py::array::c_style> as_c_array(py::handle obj) {
    require_numeric(obj);
    if (py::isinstance<py::array_t<T>>(obj)) {
        auto src = py::reinterpret_borrow<py::array>(obj);
        if (!(src.flags() & py::array::c_style) && src.size() > 0) {
            auto dst = pooled_array<T>(std::vector<py::ssize_t>(src.shape(), src.shape() + src.ndim()));
            copy_strided(src.data(), src.ndim(), src.shape(), src.strides(), sizeof(T), dst.mutable_data());
            return py::reinterpret_steal<py::array_t<T, py::array::c_style>>(dst.release());
        }
    }
    // The converting constructor keeps NumPy's error (ensure() would clear it).
    constexpr int kFlags = py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
    py::array_t<T, kFlags> arr(py::reinterpret_borrow<py::object>(obj));
    return py::reinterpret_steal<py::array_t<T, py::array::c_style>>(arr.release());
}

// Precision of a host input to an engine: float16 is refused with a TypeError
// ("float16 input is not supported; cast to float32"), float64 and complex128
// take the double path, everything else the float path.
bool is_double_input(py::handle obj);
// True for a float16 array (no error raised).
bool is_half_input(py::handle obj);

// A signal as a C-contiguous (batch, samples) array of T.
template <typename T>
py::array_t<T, py::array::c_style> as_signal(py::handle obj) {
    auto arr = as_c_array<T>(obj);
    if (arr.ndim() != 2) throw std::invalid_argument("expected a 2-D (batch, samples) array");
    return arr;
}

// A real gradient that must have exactly the shape the forward produced.
template <typename T>
py::array_t<T, py::array::c_style> as_real_gradient(py::handle obj, std::initializer_list<py::ssize_t> shape) {
    auto arr = as_c_array<T>(obj);
    const std::vector<py::ssize_t> want(shape);
    if (arr.ndim() != static_cast<py::ssize_t>(want.size()) ||
        !std::equal(want.begin(), want.end(), arr.shape())) {
        throw std::invalid_argument("gradient shape does not match the signal");
    }
    return arr;
}

// A complex (batch, bins, frames) spectrum of any strides, read by the engines
// in frame-major order.  Construction converts and checks (interpreter lock
// held); frame_major() may run without the lock and copies into a pooled
// buffer only when the memory is not already frame-major.
template <typename T>
class SpectrumInput {
public:
    SpectrumInput(py::handle obj, int64_t bins);
    int64_t batch() const { return shape_[0]; }
    int64_t bins() const { return shape_[1]; }
    int64_t frames() const { return shape_[2]; }
    const std::complex<T>* frame_major();
    // The memory itself when it is in C order (bins before frames) and not
    // also frame-major, for readers that take that layout; else null.
    const std::complex<T>* bin_major() const;

private:
    py::array_t<std::complex<T>, py::array::forcecast> array_;
    const std::complex<T>* data_;
    int64_t shape_[3];
    int64_t strides_[3];  // in elements
    PoolBuffer copy_;
};

// A new complex (B, K, F) array over frame-major pooled memory: strides
// (K*F, 1, K) elements.
template <typename T>
py::array_t<std::complex<T>> frame_major_array(py::ssize_t B, py::ssize_t K, py::ssize_t F) {
    check_array_extents("output", {B, K, F});  // before the strides multiply K and F out
    const py::ssize_t s = sizeof(std::complex<T>);
    return pooled_array<std::complex<T>>({B, K, F}, {K * F * s, s, K * s});
}

// The window argument of the engine constructors: a name, or a 1-D array of
// values (converted to float64).
ops::WindowSpec parse_window(py::handle obj);

}  // namespace qorva::dsp::bindings
