// CQT and chroma GPU factories of a build without CUDA: no GPU engine exists.
#include "gpu/cqt_gpu.hpp"

namespace qorva::dsp::gpu {

std::shared_ptr<CqtGpu> make_cqt_gpu(const ops::CqtEngine<float>&) { return nullptr; }
std::shared_ptr<ChromaGpu> make_chroma_gpu(const ops::ChromaEngine<float>&) { return nullptr; }

}  // namespace qorva::dsp::gpu
