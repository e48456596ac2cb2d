#include "bindings/array_exchange.hpp"

#include <limits>
#include <new>
#include <stdexcept>
#include <string>

namespace qorva::dsp::bindings {

bool is_double_precision(py::handle obj) {
    py::array view = py::array::ensure(obj);  // clears the Python error when obj cannot be viewed
    if (!view) return false;
    const py::dtype dt = view.dtype();
    return (dt.kind() == 'f' && dt.itemsize() == 8) || (dt.kind() == 'c' && dt.itemsize() == 16);
}

void require_numeric(py::handle obj) {
    if (obj.is_none()) throw py::type_error("expected a numeric array; got 'None'");
    py::array view = py::array::ensure(obj);
    if (!view) return;  // let NumPy's own conversion report what is wrong
    const char kind = view.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'c') {
        throw py::type_error("expected a numeric array; got '" +
                             py::str(view.dtype()).cast<std::string>() + "'");
    }
}

int32_t checked_length(py::ssize_t count) {
    if (count > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("transform length " + std::to_string(count) +
                                    " exceeds the largest supported size 2147483647");
    }
    return static_cast<int32_t>(count);
}

std::size_t checked_bytes(py::ssize_t count, std::size_t elem) {
    if (count < 0 || static_cast<std::size_t>(count) > std::numeric_limits<std::size_t>::max() / elem) {
        throw std::bad_alloc();
    }
    return static_cast<std::size_t>(count) * elem;
}

}  // namespace qorva::dsp::bindings
