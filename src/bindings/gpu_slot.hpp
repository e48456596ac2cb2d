// The lazily probed GPU engine of a binding handle.  The factory runs once,
// on the first call that needs a GPU engine; an empty result is remembered.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

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

// "cpu" runs on the CPU (no engine); any other backend needs a GPU engine.
template <typename Handle>
auto resolve_backend(Handle& handle, const std::string& backend) -> decltype(handle.gpu_engine()) {
    if (backend == "cpu") return nullptr;
    auto* engine = handle.gpu_engine();
    if (engine == nullptr) throw std::runtime_error(backend + " backend does not support these parameters");
    return engine;
}

// Resident (DLPack) calls need an engine that keeps tensors on the device.
template <typename Engine>
Engine* require_resident(Engine* engine, const char* message = "no resident GPU path for these parameters") {
    if (engine == nullptr || !engine->supports_resident()) throw std::runtime_error(message);
    return engine;
}

inline std::runtime_error float64_cpu_only(const std::string& backend) {
    return std::runtime_error("float64 input runs on the CPU only; cast to float32 for " + backend);
}

}  // namespace qorva::dsp::bindings
