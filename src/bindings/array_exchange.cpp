#include "bindings/array_exchange.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "runtime/thread_pool.hpp"
#include <new>
#include <stdexcept>
#include <string>

namespace qorva::dsp::bindings {

bool is_double_precision(py::handle obj) {
    py::array view = py::array::ensure(obj);  // clears the Python error when obj cannot be viewed
    if (!view) return false;
    const py::dtype dt = view.dtype();
    return (dt.kind() == 'f' && dt.itemsize() == 8) || (dt.kind() == 'c' && dt.itemsize() == 16);
}

void require_numeric(py::handle obj) {
    if (obj.is_none()) throw py::type_error("expected a numeric array; got 'None'");
    py::array view = py::array::ensure(obj);
    if (!view) return;  // let NumPy's own conversion report what is wrong
    const char kind = view.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'c') {
        throw py::type_error("expected a numeric array; got '" +
                             py::str(view.dtype()).cast<std::string>() + "'");
    }
    check_array_extents("input", view.shape(), static_cast<std::size_t>(view.ndim()));
}

namespace {

// Element types of the sizes engines take (float, double, complex<float>,
// complex<double>): copying through them keeps each element one load and one
// store instead of a memcpy call.
struct Bytes16 {
    uint64_t lo, hi;
};

template <typename E>
void copy_row(const char* from, py::ssize_t stride, py::ssize_t cols, char* to) {
    auto* out = reinterpret_cast<E*>(to);
    if (stride == 0) {  // a broadcast row: one value
        E value;
        std::memcpy(&value, from, sizeof(E));
        std::fill(out, out + cols, value);
        return;
    }
    for (py::ssize_t c = 0; c < cols; ++c) std::memcpy(out + c, from + c * stride, sizeof(E));
}

void copy_row_any(const char* from, py::ssize_t stride, py::ssize_t cols, std::size_t item, char* to) {
    if (stride == static_cast<py::ssize_t>(item)) {
        std::memcpy(to, from, static_cast<std::size_t>(cols) * item);
        return;
    }
    switch (item) {
        case 4: return copy_row<uint32_t>(from, stride, cols, to);
        case 8: return copy_row<uint64_t>(from, stride, cols, to);
        case 16: return copy_row<Bytes16>(from, stride, cols, to);
        default:
            for (py::ssize_t c = 0; c < cols; ++c) std::memcpy(to + c * item, from + c * stride, item);
    }
}

// A transposed layout (the second-last dimension is the contiguous one): the
// matrices of the last two dimensions are copied in square tiles, so both the
// reads and the writes stay within a few dozen cache lines instead of every
// row striding across the whole source.
template <typename E>
void copy_transposed(const char* in, py::ssize_t ndim, const py::ssize_t* shape, const py::ssize_t* strides,
                     char* out) {
    constexpr int64_t kTile = 32;
    const int64_t rows = shape[ndim - 2], cols = shape[ndim - 1];
    const py::ssize_t col_stride = strides[ndim - 1];
    int64_t matrices = 1;
    for (py::ssize_t d = 0; d + 2 < ndim; ++d) matrices *= shape[d];
    const int64_t row_tiles = (rows + kTile - 1) / kTile;
    const int64_t grain = std::max<int64_t>(1, 65536 / std::max<int64_t>(kTile * cols * sizeof(E), 1));
    parallel_for(matrices * row_tiles, grain, [&](int64_t begin, int64_t end) {
        for (int64_t task = begin; task < end; ++task) {
            const int64_t m = task / row_tiles, r0 = task % row_tiles * kTile, r1 = std::min(r0 + kTile, rows);
            const char* from = in;
            for (py::ssize_t d = ndim - 3, rest = m; d >= 0; --d) {
                from += (rest % shape[d]) * strides[d];
                rest /= shape[d];
            }
            auto* to = reinterpret_cast<E*>(out) + m * rows * cols;
            for (int64_t c0 = 0; c0 < cols; c0 += kTile) {
                const int64_t c1 = std::min(c0 + kTile, cols);
                for (int64_t c = c0; c < c1; ++c) {
                    const char* column = from + c * col_stride;
                    for (int64_t r = r0; r < r1; ++r) std::memcpy(to + r * cols + c, column + r * sizeof(E), sizeof(E));
                }
            }
        }
    });
}

}  // namespace

void copy_strided(const void* src, py::ssize_t ndim, const py::ssize_t* shape, const py::ssize_t* strides,
                  std::size_t item, void* dst) {
    const auto* in = static_cast<const char*>(src);
    auto* out = static_cast<char*>(dst);
    const auto unit = static_cast<py::ssize_t>(item);
    if (ndim >= 2 && strides[ndim - 2] == unit && strides[ndim - 1] != unit && strides[ndim - 1] != 0 &&
        shape[ndim - 2] > 1) {
        switch (item) {
            case 4: return copy_transposed<uint32_t>(in, ndim, shape, strides, out);
            case 8: return copy_transposed<uint64_t>(in, ndim, shape, strides, out);
            case 16: return copy_transposed<Bytes16>(in, ndim, shape, strides, out);
            default: break;
        }
    }
    const py::ssize_t cols = ndim == 0 ? 1 : shape[ndim - 1];
    const py::ssize_t col_stride = ndim == 0 ? 0 : strides[ndim - 1];
    int64_t rows = 1;
    for (py::ssize_t d = 0; d + 1 < ndim; ++d) rows *= shape[d];
    parallel_for(rows, std::max<int64_t>(1, 65536 / std::max<int64_t>(cols, 1)), [&](int64_t begin, int64_t end) {
        for (int64_t r = begin; r < end; ++r) {
            // The row's start: r spelled out in the leading dimensions.
            const char* from = in;
            for (py::ssize_t d = ndim - 2, rest = r; d >= 0; --d) {
                from += (rest % shape[d]) * strides[d];
                rest /= shape[d];
            }
            copy_row_any(from, col_stride, cols, item, out + r * cols * static_cast<int64_t>(item));
        }
    });
}

int32_t checked_length(py::ssize_t count) {
    if (count > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("transform length " + std::to_string(count) +
                                    " exceeds the largest supported size 2147483647");
    }
    return static_cast<int32_t>(count);
}

std::size_t checked_bytes(py::ssize_t count, std::size_t elem) {
    if (count < 0 || static_cast<std::size_t>(count) > std::numeric_limits<std::size_t>::max() / elem) {
        throw std::bad_alloc();
    }
    return static_cast<std::size_t>(count) * elem;
}

bool is_half_input(py::handle obj) {
    py::array view = py::array::ensure(obj);
    if (!view) return false;
    return view.dtype().kind() == 'f' && view.dtype().itemsize() == 2;
}

bool is_double_input(py::handle obj) {
    if (is_half_input(obj)) throw py::type_error("float16 input is not supported; cast to float32");
    return is_double_precision(obj);
}

template <typename T>
SpectrumInput<T>::SpectrumInput(py::handle obj, int64_t bins) {
    require_numeric(obj);
    array_ = py::array_t<std::complex<T>, py::array::forcecast>(py::reinterpret_borrow<py::object>(obj));
    // Strides are used in whole elements below: memory whose strides or start
    // are not whole, aligned elements (an as_strided view, a byte buffer at an
    // odd offset) is copied to C order first.
    bool whole_elements = reinterpret_cast<std::uintptr_t>(array_.data()) % alignof(std::complex<T>) == 0;
    for (py::ssize_t d = 0; d < array_.ndim(); ++d) {
        whole_elements = whole_elements && array_.strides(d) % static_cast<py::ssize_t>(sizeof(std::complex<T>)) == 0;
    }
    if (!whole_elements) {
        constexpr int kFlags = py::array::forcecast | py::array::c_style | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
        array_ = py::reinterpret_steal<py::array_t<std::complex<T>, py::array::forcecast>>(
            py::array_t<std::complex<T>, kFlags>(array_).release());
    }
    if (array_.ndim() != 3) throw std::invalid_argument("expected a 3-D (batch, bins, frames) array");
    if (array_.shape(1) != bins) {
        throw std::invalid_argument("expected " + std::to_string(bins) + " frequency bins, got " +
                                    std::to_string(array_.shape(1)));
    }
    for (int d = 0; d < 3; ++d) {
        shape_[d] = array_.shape(d);
        strides_[d] = array_.strides(d) / static_cast<py::ssize_t>(sizeof(std::complex<T>));
    }
    data_ = array_.data();
}

namespace {

// Whether (B, K, F) elements with these element strides lie frame-major
// (bins fastest) or in C order (frames fastest).  Strides of axes with a
// single element carry no meaning.
bool frame_major_strides(const int64_t* shape, const int64_t* strides) {
    const int64_t B = shape[0], K = shape[1], F = shape[2];
    return (B < 2 || strides[0] == K * F) && (K < 2 || strides[1] == 1) && (F < 2 || strides[2] == K);
}

bool c_order_strides(const int64_t* shape, const int64_t* strides) {
    const int64_t B = shape[0], K = shape[1], F = shape[2];
    return (B < 2 || strides[0] == K * F) && (K < 2 || strides[1] == F) && (F < 2 || strides[2] == 1);
}

}  // namespace

template <typename T>
const std::complex<T>* SpectrumInput<T>::bin_major() const {
    return c_order_strides(shape_, strides_) && !frame_major_strides(shape_, strides_) ? data_ : nullptr;
}

template <typename T>
const std::complex<T>* SpectrumInput<T>::frame_major() {
    const int64_t B = shape_[0], K = shape_[1], F = shape_[2];
    if (frame_major_strides(shape_, strides_)) return data_;
    copy_ = PoolBuffer(checked_bytes(B * K * F, sizeof(std::complex<T>)));
    std::complex<T>* dst = copy_.as<std::complex<T>>();
    // The (batch, frames, bins) view of the memory, copied into C order: a
    // bin-major spectrum (C order as given) goes through the tiled transpose.
    const auto item = static_cast<py::ssize_t>(sizeof(std::complex<T>));
    const py::ssize_t shape[3] = {B, F, K};
    const py::ssize_t strides[3] = {strides_[0] * item, strides_[2] * item, strides_[1] * item};
    copy_strided(data_, 3, shape, strides, sizeof(std::complex<T>), dst);
    return dst;
}

template class SpectrumInput<float>;
template class SpectrumInput<double>;

ops::WindowSpec parse_window(py::handle obj) {
    ops::WindowSpec spec;
    if (py::isinstance<py::str>(obj)) {
        spec.kind = ops::parse_window_name(obj.cast<std::string>());
        return spec;
    }
    // A window longer than any win_length is refused before it is converted.
    if (py::array view = py::array::ensure(obj)) {
        check_array_extents("window", view.shape(), static_cast<std::size_t>(view.ndim()));
    }
    auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(obj);
    if (!values || values.ndim() != 1) throw std::invalid_argument("window must be a name or a 1-D float array");
    spec.values.assign(values.data(), values.data() + values.size());
    return spec;
}

}  // namespace qorva::dsp::bindings
