// What every engine class of the module shares: the set of engines behind a
// Python object, the routing of host calls by backend and input precision, and
// the resident (DLPack) call of a GPU engine.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "bindings/array_exchange.hpp"
#include "bindings/dlpack_exchange.hpp"
#include "bindings/unlocked.hpp"
#include "gpu/device.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::bindings {

inline constexpr const char* kParametersRefusal = " backend does not support these parameters";
inline constexpr const char* kTransformRefusal = " backend does not support this transform";
inline constexpr const char* kFloat64Refusal = "float64 input runs on the CPU only; cast to float32 for ";

// The values of the engines' `backend` argument: "cpu", and "cuda" where
// this build has the CUDA backend (whether a GPU is present or not).
inline std::vector<std::string> engine_backends() {
    if (gpu::gpu_compiled()) return {"cpu", "cuda"};
    return {"cpu"};
}

// The backend is checked before anything else is looked at.
inline void check_backend(const std::string& backend) {
    const std::vector<std::string> allowed = engine_backends();
    if (std::find(allowed.begin(), allowed.end(), backend) != allowed.end()) return;
    std::string names;
    for (const std::string& name : allowed) names += "'" + name + "', ";
    if (allowed.size() == 1) names.pop_back();  // a one-element tuple keeps its comma
    else names.resize(names.size() - 2);
    throw std::invalid_argument("backend must be one of (" + names + "); got '" + backend + "'");
}

// The engines behind one Python object: the single-precision engine, built
// (and so validated) at construction; the double-precision one, built by the
// first float64 call with the same checks; and the GPU engine, whose factory
// runs once, on the first call that needs it (an empty result is kept too).
// Handles derive from it.
template <typename Single, typename Double, typename Gpu>
class EngineSet {
public:
    using GpuEngine = Gpu;

    const Single& single() const { return single_; }
    const Double& dbl() {
        if (!double_) double_.emplace(make_double_());
        return *double_;
    }
    Gpu* gpu_engine() {
        if (!gpu_probed_) {
            gpu_ = make_gpu_(single_);
            gpu_probed_ = true;
        }
        return gpu_.get();
    }
    // Null for "cpu"; otherwise the GPU engine, or the refusal that names the
    // backend when there is none.
    Gpu* resolve(const std::string& backend) {
        if (backend == "cpu") return nullptr;
        Gpu* engine = gpu_engine();
        if (engine == nullptr) throw std::runtime_error(backend + gpu_refusal_);
        return engine;
    }
    // The GPU engine of a resident call.
    Gpu& resident_engine() {
        Gpu* engine = gpu_engine();
        if (engine == nullptr || !engine->supports_resident()) {
            throw std::runtime_error("no resident GPU path for these parameters");
        }
        return *engine;
    }

protected:
    EngineSet(Single single, std::function<Double()> make_double,
              std::function<std::shared_ptr<Gpu>(const Single&)> make_gpu, const char* gpu_refusal = kParametersRefusal)
        : single_(std::move(single)),
          make_double_(std::move(make_double)),
          make_gpu_(std::move(make_gpu)),
          gpu_refusal_(gpu_refusal) {}

private:
    Single single_;
    std::optional<Double> double_;
    std::function<Double()> make_double_;
    std::function<std::shared_ptr<Gpu>(const Single&)> make_gpu_;
    std::shared_ptr<Gpu> gpu_;
    bool gpu_probed_ = false;
    const char* gpu_refusal_;
};

// Exceptions to the usual routing, for the GPU engines that take more than
// float32 host input.
struct RouteRules {
    bool gpu_double = false;  // float64 runs on a GPU engine that offers it (supports_f64)
    bool gpu_half = false;    // float16 reaches `run` on a GPU backend, which decides
    const char* double_refusal = kFloat64Refusal;
};

// Routes a host call by the backend and the precision of `probe` (the
// signal, or the input that decides the precision).  The backend is checked
// first.  float64 runs the double engine on the CPU and is refused for a GPU
// backend; everything else runs the single engine, on the GPU engine the
// backend resolves to.  `run(engine, gpu)` does the work; `gpu` is null on
// the CPU.
template <typename Handle, typename Run>
py::array route(Handle& h, py::handle probe, const std::string& backend, Run&& run, const RouteRules& rules = {}) {
    using Gpu = typename Handle::GpuEngine;
    check_backend(backend);
    const bool half_on_gpu = rules.gpu_half && backend != "cpu" && is_half_input(probe);
    if (!half_on_gpu && is_double_input(probe)) {
        if (backend == "cpu") return run(h.dbl(), static_cast<Gpu*>(nullptr));
        if constexpr (requires(Gpu& g) { g.supports_f64(); }) {
            if (rules.gpu_double) {
                Gpu* gpu = h.resolve(backend);
                if (gpu->supports_f64()) return run(h.dbl(), gpu);
            }
        }
        throw std::runtime_error(rules.double_refusal + backend);
    }
    return run(h.single(), h.resolve(backend));
}

// With the interpreter lock released: the GPU engine's staged entry when one
// was resolved (staged entries exist for float32 only), else the CPU call.
template <typename T, typename Gpu, typename Staged, typename Cpu>
void run_unlocked(Gpu* engine, Staged&& staged, Cpu&& cpu) {
    Unlocked unlocked;
    if constexpr (std::is_same_v<T, float>) {
        if (engine != nullptr) {
            staged(*engine);
            return;
        }
    }
    cpu();
}

// One device tensor a resident call reads.
struct DeviceInput {
    py::handle capsule;
    uint8_t code = kDlFloat;
    uint8_t bits = 32;  // of the full-width element
    int32_t ndim = 2;
    const char* rank_error = "unexpected tensor rank";
    bool half_ok = true;  // the half-width element too, where the engine takes it
};

// The arena block a resident call returns, as it is exported.
struct DeviceOutput {
    std::vector<int64_t> shape;
    std::vector<int64_t> strides;  // in elements; empty for C order
    uint8_t code;
    uint8_t bits;
};

// Element width of an output `bits` wide for full-width input, for the
// precision the input `v` arrived in.
inline uint8_t width_for(const TensorView& v, uint8_t bits) { return v.half ? bits / 2 : bits; }

// After a resident call returned the arena block `out`: the input capsules
// are consumed and the block is exported as a new capsule.  The block goes
// back to the arena if that fails.
template <std::size_t N>
py::object finish_resident(void* out, const std::array<DeviceInput, N>& inputs, const DeviceOutput& desc) {
    try {
        for (const DeviceInput& input : inputs) consume_dlpack(input.capsule);
        return export_dlpack(out, desc.shape, desc.strides, desc.code, desc.bits, gpu::kDlpackDeviceType);
    } catch (...) {
        gpu::arena_release(out);
        throw;
    }
}

// A resident call of any class: imports the inputs (in one precision),
// checks their ranks, lets `describe(views)` check the shapes and describe
// the output, runs `call(engine, views)` without the interpreter lock, and
// exports the block it returns.
template <typename Gpu, std::size_t N, typename Describe, typename Call>
py::object run_resident(Gpu& engine, const std::array<DeviceInput, N>& inputs, Describe&& describe, Call&& call) {
    std::array<TensorView, N> views;
    for (std::size_t i = 0; i < N; ++i) {
        const DeviceInput& in = inputs[i];
        views[i] = import_dlpack(in.capsule, in.code, in.bits, gpu::kDlpackDeviceType, in.code == kDlComplex,
                                 in.half_ok && engine.supports_resident_f16());
    }
    for (const TensorView& v : views) {
        if (v.half != views[0].half) {
            throw std::invalid_argument("gradient and signal dtypes must match on the resident path");
        }
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (views[i].ndim != inputs[i].ndim) throw std::invalid_argument(inputs[i].rank_error);
    }
    const DeviceOutput out = describe(std::as_const(views));
    void* block;
    {
        Unlocked unlocked;
        block = call(engine, std::as_const(views));
    }
    return finish_resident(block, inputs, out);
}

// The output of a signal family's forward: `rows` x frames per signal, real
// or complex, complex ones frame-major or in C order.
struct SignalLayout {
    int64_t rows;
    bool complex = false;
    bool frame_major = false;
};

// Resident forward of a signal family: y (B, L) to (B, rows, F), F from
// the CPU engine `cpu`; `call(engine, y, B, L)` queues the work.  `dbl`
// reads a float64 signal and gives double-width output.
template <typename Gpu, typename Cpu, typename Call>
py::object resident_forward(Gpu& engine, py::handle y, const SignalLayout& layout, const Cpu& cpu, Call&& call,
                            bool dbl = false) {
    const std::array<DeviceInput, 1> inputs{
        DeviceInput{y, kDlFloat, uint8_t(dbl ? 64 : 32), 2, "expected a 2-D (batch, samples) tensor", !dbl}};
    auto describe = [&](const std::array<TensorView, 1>& v) {
        const int64_t B = v[0].shape[0], K = layout.rows, F = cpu.n_frames(v[0].shape[1]);
        const uint8_t bits = width_for(v[0], uint8_t((layout.complex ? 64 : 32) * (dbl ? 2 : 1)));
        if (layout.complex && layout.frame_major) return DeviceOutput{{B, K, F}, {K * F, 1, K}, kDlComplex, bits};
        return DeviceOutput{{B, K, F}, {}, layout.complex ? kDlComplex : kDlFloat, bits};
    };
    return run_resident(engine, inputs, describe, [&](Gpu& e, const std::array<TensorView, 1>& v) {
        return call(e, v[0].ref(dbl), v[0].shape[0], v[0].shape[1]);
    });
}

// Resident backward of a signal family: the gradient of forward's output
// and y (B, L) to the signal gradient (B, L); `call(engine, grad, y, B, L)`
// queues the work.
template <typename Gpu, typename Cpu, typename Call>
py::object resident_backward(Gpu& engine, py::handle grad, py::handle y, const SignalLayout& layout, const Cpu& cpu,
                             Call&& call) {
    const std::array<DeviceInput, 2> inputs{DeviceInput{grad, layout.complex ? kDlComplex : kDlFloat,
                                                        uint8_t(layout.complex ? 64 : 32), 3},
                                            DeviceInput{y}};
    auto describe = [&](const std::array<TensorView, 2>& v) {
        const TensorView &g = v[0], &x = v[1];
        if (layout.complex && g.frame_major != layout.frame_major && g.shape[1] > 1 && g.shape[2] > 1) {
            throw std::invalid_argument(layout.frame_major ? "complex gradients must be frame-major spectra"
                                                           : "complex gradients must be C-contiguous");
        }
        const int64_t B = x.shape[0], L = x.shape[1];
        if (g.shape[0] != B || g.shape[1] != layout.rows || g.shape[2] != cpu.n_frames(L)) {
            throw std::invalid_argument("gradient shape does not match the signal");
        }
        return DeviceOutput{{B, L}, {}, kDlFloat, width_for(x, 32)};
    };
    return run_resident(engine, inputs, describe, [&](Gpu& e, const std::array<TensorView, 2>& v) {
        return call(e, v[0].ref(), v[1].ref(), v[1].shape[0], v[1].shape[1]);
    });
}

// The resident calls of the spectrogram families (STFT, mel, CQT), whose GPU
// engines take the output kind: `engine` is resolved and `mode` parsed by the
// caller, in the order its class reports their errors.
template <typename Gpu, typename Cpu>
py::object resident_forward_with_mode(Gpu& engine, py::handle y, ops::OutputMode mode, const SignalLayout& layout,
                                      const Cpu& cpu, uint64_t stream, bool dbl = false) {
    return resident_forward(
        engine, y, layout, cpu,
        [&](Gpu& e, auto x, int64_t B, int64_t L) { return e.forward_resident(x, B, L, mode, stream); }, dbl);
}

template <typename Gpu, typename Cpu>
py::object resident_backward_with_mode(Gpu& engine, py::handle grad, py::handle y, ops::OutputMode mode,
                                       const SignalLayout& layout, const Cpu& cpu, uint64_t stream) {
    return resident_backward(engine, grad, y, layout, cpu, [&](Gpu& e, auto g, auto x, int64_t B, int64_t L) {
        return e.backward_resident(g, x, B, L, mode, stream);
    });
}

// gpu_supported, gpu_resident_supported, gpu_resident_f16_supported: whether a
// GPU engine exists for the handle's parameters, and what it offers.
template <typename Handle, typename Class>
void add_gpu_flags(Class& cls) {
    cls.def(
           "gpu_supported", [](Handle& h) { return h.gpu_engine() != nullptr; },
           "Whether a GPU engine exists for these parameters on this build and machine (backend='cuda' works).")
        .def(
            "gpu_resident_supported",
            [](Handle& h) {
                auto* e = h.gpu_engine();
                return e && e->supports_resident();
            },
            "Whether forward_dlpack / backward_dlpack (CUDA tensors, zero-copy) run for these parameters.")
        .def(
            "gpu_resident_f16_supported",
            [](Handle& h) {
                auto* e = h.gpu_engine();
                return e && e->supports_resident() && e->supports_resident_f16();
            },
            "Whether the resident calls also take float16 tensors.");
}

}  // namespace qorva::dsp::bindings
