// The size limit of the arrays the module takes and returns.
//
// Every host array an engine reads or writes holds at most 2^31 - 1 elements.
// Shapes are checked against it before an input is converted, an output is
// allocated or extents are multiplied out for strides, so a shape whose
// product would overflow, or whose allocation could never be served, is
// refused with a ValueError rather than wrapping or reaching the allocator.
// An empty axis counts as length one: an empty batch of impossibly long rows
// is refused like one such row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <vector>

namespace qorva::dsp::bindings {

inline constexpr int64_t kMaxArrayElements = std::numeric_limits<int32_t>::max();

// Throws std::invalid_argument "<what> of shape (...) exceeds the largest
// supported array of 2147483647 elements".
[[noreturn]] void refuse_array_extents(const char* what, const std::vector<int64_t>& shape);

// The number of elements of an array of this shape, after the checks above
// (a negative extent is refused too).
template <typename Int>
int64_t check_array_extents(const char* what, const Int* shape, std::size_t ndim) {
    int64_t count = 1, span = 1;  // span counts an empty axis as one
    for (std::size_t d = 0; d < ndim; ++d) {
        const int64_t extent = static_cast<int64_t>(shape[d]);
        if (extent < 0) throw std::invalid_argument("array extents must be non-negative");
        if (extent > 1) {
            if (span > kMaxArrayElements / extent) refuse_array_extents(what, {shape, shape + ndim});
            span *= extent;
        }
        count = extent == 0 ? 0 : count * extent;  // count <= span
    }
    return count;
}

inline int64_t check_array_extents(const char* what, std::initializer_list<int64_t> shape) {
    return check_array_extents(what, shape.begin(), shape.size());
}

}  // namespace qorva::dsp::bindings
