// Entry point of qorva._native.
//
// pybind11's PYBIND11_MODULE gives multi-phase initialisation and checks that
// the running interpreter is the one the module was compiled for.  The module
// relies on the GIL and does not support sub-interpreters.
#include "bindings/module_parts.hpp"

PYBIND11_MODULE(_native, m, pybind11::multiple_interpreters::not_supported()) {
    using namespace qorva::dsp::bindings;
    // The order below is part of the module's interface.
    register_fft_functions(m);
    register_gpu_fft_functions(m);
    register_fft_queries(m);
    register_stft_classes(m);
    register_mel(m);
    register_cqt(m);
    register_features(m);
    register_delta(m);
    register_runtime_functions(m);
    register_gpu_queries(m);
    register_build_info(m);
    register_dlpack_inspection(m);
}
