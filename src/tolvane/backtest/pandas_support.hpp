// Small pandas idioms that several backtest modules write the same way.
#pragma once

#include <cmath>

#include <module_frame/frame.hpp>

namespace pandas_support {

namespace mf = module_frame;
namespace nb = nanobind;

// Python's float('nan').
inline nb::object nan_value() { return nb::float_(NAN); }

// data.replace([np.inf, -np.inf], np.nan)
inline nb::object infinities_as_missing(const mf::Call &call, nb::handle data) {
    nb::object np = call.global("np");
    nb::list infinities;
    infinities.append(np.attr("inf"));
    infinities.append(-np.attr("inf"));
    return data.attr("replace")(infinities, np.attr("nan"));
}

}  // namespace pandas_support
