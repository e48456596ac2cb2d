// The GPU module functions: raw batched FFTs over the last axis on the GPU,
// and the device queries.  Each calling thread keeps its own FFT plan for the
// last length and precision it used.
#include "bindings/module_parts.hpp"

#include <complex>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "bindings/array_exchange.hpp"
#include "bindings/engine_set.hpp"
#include "bindings/unlocked.hpp"
#include "gpu/device.hpp"

namespace qorva::dsp::bindings {

namespace {

using gpu::FftGpu;
using gpu::GpuPrecision;

// The plan of the calling thread; replaced when the length or precision
// changes (the old one is released first, so its device memory is free for
// the new one).
FftGpu& thread_plan(int32_t n, GpuPrecision precision) {
    struct Slot {
        int32_t n = -1;
        GpuPrecision precision = GpuPrecision::f32;
        std::unique_ptr<FftGpu> plan;
    };
    thread_local Slot slot;
    if (!slot.plan || slot.n != n || slot.precision != precision) {
        slot.plan.reset();
        slot.n = -1;
        slot.plan = gpu::make_fft_gpu(n, precision);
        slot.precision = precision;
        slot.n = slot.plan ? n : -1;
    }
    if (!slot.plan) throw std::runtime_error("GPU FFT unavailable for this build/size");
    return *slot.plan;
}

// Length of the last axis and the number of rows before it.
struct Rows {
    int32_t n;
    int64_t batch;
};

Rows rows_of(const py::array& a) {
    const int32_t n = checked_length(a.shape(a.ndim() - 1));
    return {n, n > 0 ? static_cast<int64_t>(a.size()) / n : 0};
}

std::vector<py::ssize_t> shape_of(const py::array& a) { return {a.shape(), a.shape() + a.ndim()}; }

py::array gpu_rfft(py::handle x) {
    if (is_double_precision(x)) {
        throw py::type_error("GPU FFT is float32-only; float64 runs on the CPU (_rfft)");
    }
    auto in = as_c_array<float>(x);
    if (in.ndim() == 0) throw std::invalid_argument("gpu_rfft requires >= 1 dimension");
    const Rows rows = rows_of(in);
    FftGpu& plan = thread_plan(rows.n, GpuPrecision::f32);
    std::vector<py::ssize_t> shape = shape_of(in);
    shape.back() = rows.n / 2 + 1;
    auto out = pooled_array<std::complex<float>>(shape);
    if (rows.batch > 0) {
        const float* src = in.data();
        void* dst = out.mutable_data();
        Unlocked unlocked;
        plan.rfft_staged(src, dst, rows.batch);
    }
    return out;
}

template <typename T>
py::array gpu_cfft(py::handle x, bool inverse, GpuPrecision precision) {
    auto in = as_c_array<std::complex<T>>(x);
    if (in.ndim() == 0) throw std::invalid_argument("gpu_cfft requires >= 1 dimension");
    const Rows rows = rows_of(in);
    FftGpu& plan = thread_plan(rows.n, precision);
    auto out = pooled_array<std::complex<T>>(shape_of(in));
    if (rows.batch > 0) {
        const void* src = in.data();
        void* dst = out.mutable_data();
        Unlocked unlocked;
        plan.execute_staged(src, dst, rows.batch, inverse);
    }
    return out;
}

}  // namespace

void register_gpu_fft_functions(py::module_& m) {
    m.def(
        "_gpu_cfft",
        [](py::handle x, bool inverse) {
            return is_double_precision(x) ? gpu_cfft<double>(x, inverse, GpuPrecision::f64)
                                          : gpu_cfft<float>(x, inverse, GpuPrecision::f32);
        },
        py::arg("x"), py::arg("inverse") = false);
    m.def("_gpu_rfft", &gpu_rfft, py::arg("x"));
    m.def(
        "_gpu_fft_available", [](int32_t n) { return gpu::fft_gpu_supported(n, GpuPrecision::f32); },
        py::arg("n"));
}

void register_gpu_queries(py::module_& m) {
    m.def("gpu_available", &gpu::gpu_available,
          "Whether a CUDA GPU of compute capability 7.5 or newer is usable by this build.");
    m.def(
        "gpu_backend", [] { return std::string(gpu::gpu_backend_name()); },
        "The GPU backend in use: \"cuda\", or \"none\" without a usable GPU.");
    m.def("gpu_device_name", &gpu::gpu_device_name, "The name of the GPU in use, or \"\" without one.");
    m.def("_engine_backends", [] { return py::tuple(py::cast(engine_backends())); },
          "The values an engine's `backend` argument takes in this build.");
}

}  // namespace qorva::dsp::bindings
