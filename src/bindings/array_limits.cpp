#include "bindings/array_limits.hpp"

#include <string>

namespace qorva::dsp::bindings {

void refuse_array_extents(const char* what, const std::vector<int64_t>& shape) {
    std::string text = std::string(what) + " of shape (";
    for (std::size_t d = 0; d < shape.size(); ++d) {
        if (d > 0) text += ", ";
        text += std::to_string(shape[d]);
    }
    if (shape.size() == 1) text += ",";
    text += ") exceeds the largest supported array of " + std::to_string(kMaxArrayElements) + " elements";
    for (int64_t extent : shape) {
        if (extent == 0) {
            text += " (an empty axis counts as one)";
            break;
        }
    }
    throw std::invalid_argument(text);
}

}  // namespace qorva::dsp::bindings
