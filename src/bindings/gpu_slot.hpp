// The lazily probed GPU engine of a binding handle.  The factory runs once,
// on the first call that needs a GPU engine; an empty result is remembered.
#pragma once

#include <functional>
#include <initializer_list>
#include <vector>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>

#include "bindings/array_exchange.hpp"
#include "bindings/dlpack_exchange.hpp"
#include "bindings/unlocked.hpp"
#include "gpu/device.hpp"

namespace qorva::dsp::bindings {

template <typename Engine>
class GpuSlot {
public:
    template <typename Factory>
    Engine* get(Factory&& factory) {
        if (!probed_) {
            engine_ = factory();
            probed_ = true;
        }
        return engine_.get();
    }

private:
    std::shared_ptr<Engine> engine_;
    bool probed_ = false;
};

// The engines behind one Python object: the single-precision engine, built
// (and so validated) at construction; the double-precision one, built by the
// first float64 call with the same checks; and the GPU engine, probed once on
// first need.  Handles derive from it and supply the two factories.
template <typename Single, typename Double, typename Gpu>
class EngineSet {
public:
    const Single& single() const { return single_; }
    const Double& dbl() {
        if (!double_) double_.emplace(make_double_());
        return *double_;
    }
    Gpu* gpu_engine() {
        return gpu_.get([this] { return make_gpu_(single_); });
    }

protected:
    EngineSet(Single single, std::function<Double()> make_double,
              std::function<std::shared_ptr<Gpu>(const Single&)> make_gpu)
        : single_(std::move(single)), make_double_(std::move(make_double)), make_gpu_(std::move(make_gpu)) {}

private:
    Single single_;
    std::optional<Double> double_;
    std::function<Double()> make_double_;
    std::function<std::shared_ptr<Gpu>(const Single&)> make_gpu_;
    GpuSlot<Gpu> gpu_;
};

// "cpu" runs on the CPU (no engine); any other backend needs a GPU engine,
// and its absence is reported as backend + `refusal`.
template <typename Handle>
auto resolve_backend(Handle& handle, const std::string& backend,
                     const char* refusal = " backend does not support these parameters")
    -> decltype(handle.gpu_engine()) {
    if (backend == "cpu") return nullptr;
    auto* engine = handle.gpu_engine();
    if (engine == nullptr) throw std::runtime_error(backend + refusal);
    return engine;
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

// Resident (DLPack) calls of classes whose family has no GPU engine yet: the
// refusal a handle without a resident engine gives.
[[noreturn]] inline void refuse_resident(const char* message = "no resident GPU path for these parameters") {
    throw std::runtime_error(message);
}

// The handle's GPU engine when it offers resident calls, else the refusal.
template <typename Handle>
auto resident_engine(Handle& handle) -> decltype(handle.gpu_engine()) {
    auto* engine = handle.gpu_engine();
    if (engine == nullptr || !engine->supports_resident()) refuse_resident();
    return engine;
}

// After a resident call returned the arena block `out`: the input capsules
// are consumed and the block is exported as a new capsule.  The block goes
// back to the arena if that fails.
inline py::object finish_resident(void* out, std::initializer_list<py::handle> inputs,
                                  const std::vector<int64_t>& shape, const std::vector<int64_t>& strides,
                                  uint8_t code, uint8_t bits) {
    try {
        for (py::handle input : inputs) consume_dlpack(input);
        return export_dlpack(out, shape, strides, code, bits, gpu::kDlpackDeviceType);
    } catch (...) {
        gpu::arena_release(out);
        throw;
    }
}

inline std::runtime_error float64_cpu_only(const std::string& backend) {
    return std::runtime_error("float64 input runs on the CPU only; cast to float32 for " + backend);
}

// Routes a host call by the precision of `probe` (the signal, or the input
// that decides the precision): float64 runs the handle's double engine on the
// CPU and is refused for any other backend; everything else runs the single
// engine, or the GPU engine `backend` resolves to.  `run(engine, gpu)` does
// the work; `gpu` is null on the CPU.
template <typename Handle, typename Run>
py::array route_by_precision(Handle& h, py::handle probe, const std::string& backend, Run&& run,
                             const char* refusal = "float64 input runs on the CPU only; cast to float32 for ") {
    using Gpu = decltype(h.gpu_engine());
    if (is_double_input(probe)) {
        if (backend != "cpu") throw std::runtime_error(refusal + backend);
        return run(h.dbl(), static_cast<Gpu>(nullptr));
    }
    return run(h.single(), resolve_backend(h, backend));
}

// gpu_supported, gpu_resident_supported, gpu_resident_f16_supported: whether a
// GPU engine exists for the handle's parameters, and what it offers.
template <typename Handle, typename Class>
void add_gpu_flags(Class& cls) {
    cls.def("gpu_supported", [](Handle& h) { return h.gpu_engine() != nullptr; })
        .def("gpu_resident_supported",
             [](Handle& h) {
                 auto* e = h.gpu_engine();
                 return e && e->supports_resident();
             })
        .def("gpu_resident_f16_supported", [](Handle& h) {
            auto* e = h.gpu_engine();
            return e && e->supports_resident() && e->supports_resident_f16();
        });
}

}  // namespace qorva::dsp::bindings
