// The frame-feature engine classes.
#include "bindings/module_parts.hpp"

namespace qorva::dsp::bindings {

void register_features(py::module_&) {}

}  // namespace qorva::dsp::bindings
