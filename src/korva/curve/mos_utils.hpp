// korva.curve.mos_utils: device curve prediction from trained regression models. The module body
// lives in mos_utils.cpp; each function and the configuration table have a source of their own.
#pragma once

#include "korva/module_body.hpp"

#include <optional>

namespace korva::curve::mos_utils {

// _smoothstep(x, x_min=0, x_max=1, N=1): the generalized smoothstep of the clipped position.
nb::object _smoothstep(const py::Call& g);

// _predict_from_submodels(model, X): one prediction row per submodel of a voting ensemble.
nb::object _predict_from_submodels(const py::Call& g);

// _predict_single_curve(...): one curve and variant of one device, blended into the linear model.
nb::object _predict_single_curve(const py::Call& g);

// predict_curves_for_inputs(...): the curve records of every requested curve and variant.
nb::object predict_curves_for_inputs(const py::Call& g);

// The same records for one device through the vectorised curve core, when every guard holds;
// empty otherwise (the literal steps then run).
std::optional<nb::object> predict_curves_fast(const py::Call& g);

// Step 13 of a single curve: the log-space submodel stack blended into the linear-scale one.
nb::object blend_submodels(const py::Call& g, nb::object y_preds_submodels, nb::handle y_linear_preds_submodels,
                           nb::handle x_coords, nb::handle auto_linear_blend);

// The NLD input transform held in the table: lambda d: pd.Series({...}) of the derived inputs.
nb::object nld_input_transform(const py::Call& g);

// Builds the _DEVICE_CONFIG table (with the NLD input transform) and binds it in the module.
void bind_device_config(const ModuleBody& m);

void body(const ModuleBody& m);

}  // namespace korva::curve::mos_utils
