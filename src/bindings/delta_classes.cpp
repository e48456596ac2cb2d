// DeltaEngine: Savitzky-Golay derivatives of feature sequences along their
// last axis, any leading shape, float32 or float64, with the exact backward.
#include <cstdint>
#include <string>
#include <vector>

#include "bindings/array_exchange.hpp"
#include "bindings/engine_set.hpp"
#include "bindings/module_parts.hpp"
#include "bindings/unlocked.hpp"
#include "ops/delta.hpp"

namespace qorva::dsp::bindings {

namespace {

class DeltaHandle {
public:
    DeltaHandle(int32_t width, int32_t order, const std::string& mode)
        : single_(width, order, ops::parse_delta_mode(mode)), double_(width, order, ops::parse_delta_mode(mode)) {}

    py::array forward(py::handle data, const std::string& backend) { return apply(data, backend, false); }
    py::array backward(py::handle grad, const std::string& backend) { return apply(grad, backend, true); }

private:
    // The map and its transpose keep the shape: rows are every leading index, frames the last axis.
    py::array apply(py::handle input, const std::string& backend, bool transpose) {
        check_backend(backend);
        if (backend != "cpu") throw std::runtime_error(backend + kTransformRefusal);
        if (is_double_input(input)) return run<double>(double_, input, transpose);
        return run<float>(single_, input, transpose);
    }

    template <typename T>
    py::array run(const ops::DeltaEngine<T>& engine, py::handle input, bool transpose) {
        auto x = as_c_array<T>(input);
        if (x.ndim() < 1) throw std::invalid_argument("expected an array with a frame axis (at least 1-D)");
        std::vector<py::ssize_t> shape(x.shape(), x.shape() + x.ndim());
        const int64_t F = shape.back();
        const int64_t rows = F > 0 ? x.size() / F : 0;
        auto out = pooled_array<T>(shape);
        const T* src = x.data();
        T* dst = out.mutable_data();
        {
            Unlocked unlocked;
            if (transpose) {
                engine.backward(src, rows, F, dst);
            } else {
                engine.forward(src, rows, F, dst);
            }
        }
        return out;
    }

    ops::DeltaEngine<float> single_;
    ops::DeltaEngine<double> double_;
};

}  // namespace

void register_delta(py::module_& m) {
    py::class_<DeltaHandle>(m, "DeltaEngine",
                            "Delta features: the Savitzky-Golay derivative of order `order` (polynomial degree "
                            "`order`, `width` frames) along the last axis, librosa.feature.delta's definition, with "
                            "the exact backward pass.")
        .def(py::init<int32_t, int32_t, const std::string&>(), py::arg("width"), py::arg("order"), py::arg("mode"))
        .def("forward", &DeltaHandle::forward, py::arg("data"), py::arg("backend") = "cpu",
             "Deltas of data (..., frames), same shape and precision.")
        .def("backward", &DeltaHandle::backward, py::arg("grad"), py::arg("backend") = "cpu",
             "Gradient (..., frames) with respect to data of a loss whose gradient for forward(data) is grad.");
}

}  // namespace qorva::dsp::bindings
