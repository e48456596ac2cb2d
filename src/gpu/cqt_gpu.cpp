// CQT and chroma GPU factories: no GPU engine exists for them yet in any build.
#include "gpu/cqt_gpu.hpp"

namespace qorva::dsp::gpu {

std::shared_ptr<CqtGpu> make_cqt_gpu(const ops::CqtEngine<float>&) { return nullptr; }
std::shared_ptr<ChromaGpu> make_chroma_gpu(const ops::ChromaEngine<float>&) { return nullptr; }

}  // namespace qorva::dsp::gpu
