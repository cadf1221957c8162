// Small pandas idioms that several backtest modules write the same way.
#pragma once

#include <cmath>
#include <initializer_list>

#include <module_frame/frame.hpp>

namespace tolvane::glue::pandas {

namespace mf = module_frame;
namespace nb = nanobind;

// Python's float('nan').
inline nb::object nan_value() {
    return nb::float_(NAN);
}

// A Python list of C++ values (numbers or texts).
template <typename Values>
nb::list python_list(const Values &values) {
    nb::list list;
    for (const auto &value : values)
        list.append(value);
    return list;
}

inline nb::list python_list(std::initializer_list<const char *> texts) {
    return python_list<std::initializer_list<const char *>>(texts);
}

// data.replace([np.inf, -np.inf], np.nan)
inline nb::object infinities_as_missing(const mf::Call &call, nb::handle data) {
    nb::object np = call.global("np");
    nb::list infinities;
    infinities.append(np.attr("inf"));
    infinities.append(-np.attr("inf"));
    return data.attr("replace")(infinities, np.attr("nan"));
}

}  // namespace tolvane::glue::pandas
