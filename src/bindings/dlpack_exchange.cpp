#include "bindings/dlpack_exchange.hpp"

#include <pybind11/stl.h>

#include <stdexcept>

namespace qorva::dsp::bindings {

namespace {

DLManagedTensor* capsule_tensor(py::handle capsule) {
    void* ptr = PyCapsule_GetPointer(capsule.ptr(), "dltensor");
    if (ptr == nullptr) {
        PyErr_Clear();
        throw std::invalid_argument("expected a DLPack 'dltensor' capsule");
    }
    return static_cast<DLManagedTensor*>(ptr);
}

// The exported tensor and room for its shape and strides, freed by its deleter.
struct ExportRecord {
    DLManagedTensor managed;
    int64_t shape[3];
    int64_t strides[3];
};

void release_export(DLManagedTensor* self) {
    auto* record = static_cast<ExportRecord*>(self->manager_ctx);
    gpu::arena_release(self->dl_tensor.data);
    delete record;
}

// Runs the deleter only when nobody consumed the capsule.
void capsule_destructor(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, "dltensor")) return;
    auto* managed = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule, "dltensor"));
    if (managed != nullptr && managed->deleter != nullptr) managed->deleter(managed);
}

}  // namespace

TensorView import_dlpack(py::handle capsule, uint8_t code, uint8_t bits, int32_t device_type, bool complex,
                         bool allow_half) {
    const DLTensor& t = capsule_tensor(capsule)->dl_tensor;
    if (t.device.device_type != device_type) {
        throw std::invalid_argument("tensor is not resident on this build's GPU backend");
    }
    if (t.device.device_id != 0) throw std::invalid_argument("only GPU device 0 is supported");
    TensorView view;
    if (allow_half && t.dtype.code == code && t.dtype.bits == bits / 2) {
        view.half = true;
    } else if (t.dtype.code != code || t.dtype.bits != bits || t.dtype.lanes != 1) {
        throw std::invalid_argument("unexpected tensor dtype for the resident path");
    }
    if (t.ndim < 1 || t.ndim > 3) throw std::invalid_argument("expected 1-3 dimensions");
    if (t.strides != nullptr) {
        // Axes of extent 0 or 1 may carry any stride.
        bool contiguous = true;
        int64_t expected = 1;
        for (int32_t d = t.ndim - 1; d >= 0; --d) {
            if (t.shape[d] >= 2 && t.strides[d] != expected) contiguous = false;
            expected *= t.shape[d];
        }
        if (!contiguous) {
            bool frame_major = complex && t.ndim == 3;
            if (frame_major) {
                const int64_t want[3] = {t.shape[1] * t.shape[2], 1, t.shape[1]};
                for (int d = 0; d < 3; ++d) {
                    if (t.shape[d] >= 2 && t.strides[d] != want[d]) frame_major = false;
                }
            }
            if (!frame_major) {
                throw std::invalid_argument(complex ? "complex spectra must be contiguous or frame-major"
                                                    : "resident tensors must be contiguous");
            }
            view.frame_major = true;
        }
    }
    view.data = t.data;
    view.byte_offset = t.byte_offset;
    view.ndim = t.ndim;
    for (int32_t d = 0; d < t.ndim; ++d) view.shape[d] = t.shape[d];
    return view;
}

void consume_dlpack(py::handle capsule) {
    DLManagedTensor* managed = capsule_tensor(capsule);
    if (PyCapsule_SetName(capsule.ptr(), "used_dltensor") != 0) throw py::error_already_set();
    if (managed->deleter != nullptr) managed->deleter(managed);
}

py::capsule export_dlpack(void* device_buffer, const std::vector<int64_t>& shape,
                          const std::vector<int64_t>& strides, uint8_t code, uint8_t bits, int32_t device_type) {
    auto* record = new ExportRecord{};
    DLTensor& t = record->managed.dl_tensor;
    t.data = device_buffer;
    t.device = {device_type, 0};
    t.ndim = static_cast<int32_t>(shape.size());
    t.dtype = {code, bits, 1};
    for (std::size_t d = 0; d < shape.size() && d < 3; ++d) record->shape[d] = shape[d];
    t.shape = record->shape;
    if (!strides.empty()) {
        for (std::size_t d = 0; d < strides.size() && d < 3; ++d) record->strides[d] = strides[d];
        t.strides = record->strides;
    }
    t.byte_offset = 0;
    record->managed.manager_ctx = record;
    record->managed.deleter = release_export;
    PyObject* capsule = PyCapsule_New(&record->managed, "dltensor", capsule_destructor);
    if (capsule == nullptr) {
        delete record;  // the block stays the caller's
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::capsule>(capsule);
}

// The import checks as the resident entries apply them, without a GPU call:
// lets the exchange rules be exercised on machines without a GPU.
void register_dlpack_inspection(py::module_& m) {
    m.def(
        "_dlpack_view",
        [](py::handle capsule, int code, int bits, bool complex, bool allow_half, bool consume) {
            const TensorView v = import_dlpack(capsule, static_cast<uint8_t>(code), static_cast<uint8_t>(bits),
                                               gpu::kDlpackDeviceType, complex, allow_half);
            if (consume) consume_dlpack(capsule);
            py::dict out;
            out["shape"] = std::vector<int64_t>(v.shape, v.shape + v.ndim);
            out["frame_major"] = v.frame_major;
            out["half"] = v.half;
            out["byte_offset"] = v.byte_offset;
            return out;
        },
        py::arg("capsule"), py::arg("code"), py::arg("bits"), py::arg("complex") = false,
        py::arg("allow_half") = false, py::arg("consume") = false,
        "Checks a DLPack capsule as a resident call would (element code and bits, device, rank, layout) "
        "and describes it; optionally consumes it.");
}

}  // namespace qorva::dsp::bindings
