// Registration functions of the extension's parts, called by the module's
// execution step in a fixed order.
#pragma once

#include <pybind11/pybind11.h>

namespace qorva::dsp::bindings {

namespace py = pybind11;

inline constexpr int kAbiVersion = 15;

void register_fft_functions(py::module_& m);  // _rfft, _irfft, _cfft, _fft_floor
void register_gpu_fft_functions(py::module_& m);  // _gpu_cfft, _gpu_rfft, _gpu_fft_available
void register_fft_queries(py::module_& m);    // _fft_backends, _fft_backend_for
void register_stft_classes(py::module_& m);     // StftEngine, IstftEngine
void register_mel(py::module_& m);              // MelEngine, hz_to_mel, mel_to_hz, mel_filterbank
void register_cqt(py::module_& m);              // CqtEngine, ChromaEngine
void register_features(py::module_& m);         // feature engine classes
void register_delta(py::module_& m);            // DeltaEngine
void register_runtime_functions(py::module_& m);  // abi_version, set/get_num_threads, _pool_stats
void register_gpu_queries(py::module_& m);        // gpu_available, gpu_backend, gpu_device_name, _engine_backends
void register_build_info(py::module_& m);         // _fftw_version
void register_dlpack_inspection(py::module_& m);  // _dlpack_view

}  // namespace qorva::dsp::bindings
