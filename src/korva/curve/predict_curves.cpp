// korva.curve.mos_utils.predict_curves_for_inputs: every requested curve of one device at each of
// its variants, summarised over the submodels as plain curve records. The fast path takes over
// single variants of this very loop (predict_curves_fast.cpp).
#include "korva/curve/core/core.hpp"

namespace korva::curve::mos_utils {

using namespace nb::literals;

namespace {

// `function(*args, **mapping)` as the interpreter performs it: the mapping is merged into a new
// dict first (a non-mapping, or a key seen twice, is reported the way the interpreter reports it),
// then the call binds the keywords, reporting a parameter given twice in the callee's own words.
nb::object call_with_mapping(nb::handle function, nb::handle args, nb::handle mapping) {
    nb::dict kwargs;
    int merged;
    if (PyDict_Check(mapping.ptr()) && Py_TYPE(mapping.ptr())->tp_iter == PyDict_Type.tp_iter) {
        merged = PyDict_Merge(kwargs.ptr(), mapping.ptr(), 1);
    } else {
        merged = 0;
        try {
            nb::object keys = nb::steal(PyMapping_Keys(mapping.ptr()));
            if (!keys.is_valid()) throw nb::python_error();
            for (nb::handle key : keys) {
                if (kwargs.contains(key)) {
                    PyErr_SetObject(PyExc_KeyError, nb::make_tuple(key).ptr());
                    throw nb::python_error();
                }
                kwargs[key] = mapping[key];
            }
        } catch (nb::python_error& error) {
            error.restore();
            merged = -1;
        }
    }
    if (merged < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            nb::object described = nb::steal(_PyObject_FunctionStr(function.ptr()));
            if (!described.is_valid()) throw nb::python_error();
            PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", described.ptr(),
                         Py_TYPE(mapping.ptr())->tp_name);
        } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyObject* error = PyErr_GetRaisedException();
            PyObject* error_args = ((PyBaseExceptionObject*) error)->args;
            if (PyTuple_Check(error_args) && PyTuple_GET_SIZE(error_args) == 1) {
                nb::object described = nb::steal(_PyObject_FunctionStr(function.ptr()));
                if (described.is_valid())
                    PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'",
                                 described.ptr(), PyTuple_GET_ITEM(error_args, 0));
                Py_DECREF(error);
            } else {
                PyErr_SetRaisedException(error);
            }
        }
        throw nb::python_error();
    }
    nb::object result = nb::steal(PyObject_Call(function.ptr(), args.ptr(), kwargs.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

}  // namespace

nb::object predict_curves_for_inputs(const py::Call& g) {
    FastCurves fast(g);
    nb::handle models = g[0], device_inputs = g[1], device_type = g[2], curve_types = g[3];

    nb::object config = core::Context(g).config(g[4], device_type);
    nb::object pred_params = config.attr("get")("PREDICTION_PARAMS", nb::dict());
    fast.begin(config, pred_params);

    nb::list curve_list;
    nb::object requested = nb::borrow(curve_types);
    if (requested.is_none()) requested = config["CURVE_INFO"].attr("keys")();

    for (nb::handle curve_type : requested) {
        nb::object curve_info = config["CURVE_INFO"][curve_type];
        nb::object variants = curve_info["variants"];
        nb::object x_coords = curve_info["x_range"];
        for (nb::handle item : variants.attr("items")()) {
            nb::object variant_label = item[nb::int_(0)], variant_dict = item[nb::int_(1)];
            nb::object predict = g("_predict_single_curve");
            nb::object y_preds_submodels =
                fast.curve(predict, curve_type, curve_info, variants, x_coords, variant_label, variant_dict);
            if (!y_preds_submodels.is_valid()) {
                nb::object args = nb::make_tuple(models, device_inputs, device_type, curve_type, variant_dict,
                                                 x_coords, config);
                y_preds_submodels = call_with_mapping(predict, args, pred_params);
            }

            // The record's values are computed in key order.
            nb::object curve_variant = py::equals(variant_label, "default") ? nb::none() : variant_label;
            nb::object x_list = x_coords.attr("tolist")();
            nb::object y_coords = g("np").attr("mean")(y_preds_submodels, "axis"_a = 0).attr("tolist")();
            nb::object y_coords_std = g("np").attr("std")(y_preds_submodels, "axis"_a = 0).attr("tolist")();
            nb::object curves = y_preds_submodels.attr("tolist")();
            curve_list.append(core::curve_record(curve_type, curve_variant, variant_dict, x_list, y_coords,
                                                 y_coords_std, curves, curve_info));
        }
    }
    return curve_list;
}

}  // namespace korva::curve::mos_utils
