// Device tensors in and out of the module as DLPack capsules (the unversioned
// exchange: capsule name "dltensor", payload DLManagedTensor).  A capsule
// moves from "dltensor" (live, owned by whoever holds it) to "used_dltensor"
// once a consumer has taken the tensor over.
#pragma once

#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>

#include "gpu/device.hpp"

namespace qorva::dsp::bindings {

namespace py = pybind11;

struct DLDevice {
    int32_t device_type;
    int32_t device_id;
};

struct DLDataType {
    uint8_t code;  // 2 float, 5 complex
    uint8_t bits;
    uint16_t lanes;
};

struct DLTensor {
    void* data;
    DLDevice device;
    int32_t ndim;
    DLDataType dtype;
    int64_t* shape;
    int64_t* strides;  // in elements; null means C-contiguous
    uint64_t byte_offset;
};

struct DLManagedTensor {
    DLTensor dl_tensor;
    void* manager_ctx;
    void (*deleter)(DLManagedTensor* self);
};

inline constexpr uint8_t kDlFloat = 2;
inline constexpr uint8_t kDlComplex = 5;

// What an imported capsule describes; the capsule itself is left untouched.
struct TensorView {
    const void* data = nullptr;
    uint64_t byte_offset = 0;
    int64_t shape[3] = {0, 0, 0};
    int32_t ndim = 0;
    bool frame_major = false;  // a 3-D complex tensor with strides (K*F, 1, K)
    bool half = false;         // half-width elements of the expected kind

    gpu::DeviceTensorRef ref(bool dbl = false) const { return {data, byte_offset, half, dbl}; }
};

// Checks a capsule against the expected element kind (code, bits), device
// and layout; `allow_half` accepts the half-width variant too.  Raises
// ValueError with the reason when the tensor does not fit.
TensorView import_dlpack(py::handle capsule, uint8_t code, uint8_t bits, int32_t device_type, bool complex,
                         bool allow_half);

// Takes the tensor over: renames the capsule "used_dltensor" and runs the
// producer's deleter.
void consume_dlpack(py::handle capsule);

// A new "dltensor" capsule over an arena block of the device.  The block goes
// back to the arena when the consumer's tensor dies, or with the capsule if
// nobody consumed it.  `strides` (in elements) may be empty for C order.  If
// the capsule cannot be made, the block stays the caller's.
py::capsule export_dlpack(void* device_buffer, const std::vector<int64_t>& shape,
                          const std::vector<int64_t>& strides, uint8_t code, uint8_t bits, int32_t device_type);

}  // namespace qorva::dsp::bindings
