// CqtEngine and ChromaEngine.
#include "bindings/module_parts.hpp"

namespace qorva::dsp::bindings {

void register_cqt(py::module_&) {}

}  // namespace qorva::dsp::bindings
