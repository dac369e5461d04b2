// korva.curve.mos_utils: the _DEVICE_CONFIG table (input columns, curves with their variants and
// x ranges, prediction parameters of "PLD" and "NLD") and the NLD input transform.
#include "korva/curve/mos_utils.hpp"

#include <initializer_list>

namespace korva::curve::mos_utils {

namespace {

nb::list str_list(std::initializer_list<const char*> items) {
    nb::list list;
    for (const char* item : items) list.append(item);
    return list;
}

}  // namespace

// lambda d: pd.Series({"W": 10, "Nf": 2, "A": A, "B": B, "C+D+E": ..., ..., "HP": ...}) with A..E
// read from `d` by label. The sums are bracketed left to right and every operation goes through
// the interpreter's number protocol, so the result is exactly that of the Python arithmetic on
// whatever number types `d` holds.
nb::object nld_input_transform(const py::Call& g) {
    nb::handle inputs = g[0];  // the parameter `d`
    nb::object a = inputs["A"];
    nb::object b = inputs["B"];
    // Reads and operations in the order the expressions are evaluated: C, D, C + D, E, ...
    nb::object c = inputs["C"];
    nb::object d = inputs["D"];
    nb::object c_plus_d = c + d;
    nb::object e = inputs["E"];
    nb::object c_d_e = c_plus_d + e;
    nb::object c_share = c / c_d_e;
    nb::object cd_share = c_plus_d / c_d_e;
    nb::object s = d + e;
    nb::object hp = nb::float_(0.77) + a;
    hp = hp + b;
    hp = hp + c;
    hp = hp + d;
    hp = hp + e;
    hp = hp + nb::float_(0.1);

    nb::dict m;
    m["W"] = nb::int_(10);
    m["Nf"] = nb::int_(2);
    m["A"] = a;
    m["B"] = b;
    m["C+D+E"] = c_d_e;
    m["C/(C+D+E)"] = c_share;
    m["(C+D)/(C+D+E)"] = cd_share;
    m["S"] = s;
    m["HP"] = hp;
    return g("pd").attr("Series")(m);
}

namespace {

// The anonymous transform, pickled as a reference to its own table entry:
// import_module(<this module>)._DEVICE_CONFIG["NLD"]["INPUT_TRANSFORM"].
nb::object make_nld_input_transform(const ModuleBody& m) {
    nb::object transform =
        py::make_function(m.types().function_type, m.module(), {"<lambda>", nld_input_transform, {{"d"}}});

    nb::handle step_type = m.types().reduce_step_type;
    nb::object getitem = py::import_from("operator", "getitem");
    nb::object module = py::reduce_step(step_type, py::import_from("importlib", "import_module"),
                                        nb::make_tuple(m("__name__")));
    nb::object table = py::reduce_step(step_type, m("getattr"), nb::make_tuple(module, "_DEVICE_CONFIG"));
    nb::object entry = py::reduce_step(step_type, getitem, nb::make_tuple(table, "NLD"));
    py::set_reduce_value(transform, nb::make_tuple(getitem, nb::make_tuple(entry, "INPUT_TRANSFORM")));
    return transform;
}

// {"default": {}}: a fresh dict for every curve entry.
nb::dict default_only() {
    nb::dict variants;
    variants["default"] = nb::dict();
    return variants;
}

// {"<name>=<format(v, '.2f')>": {"<name>": v}, ...} for the values in order; the dicts hold the
// floats themselves.
nb::dict variant_family(const char* name, std::initializer_list<double> values) {
    nb::dict variants;
    nb::object prefix = nb::str(name) + nb::str("=");
    for (double value : values) {
        nb::float_ v(value);
        nb::object text = nb::steal(PyObject_Format(v.ptr(), nb::str(".2f").ptr()));
        if (!text.is_valid()) throw nb::python_error();
        nb::dict variant;
        variant[name] = v;
        variants[prefix + text] = variant;
    }
    return variants;
}

nb::dict vb_family() { return variant_family("Vb", {0.0, 0.82, 1.65, 2.48, 3.3}); }
nb::dict vg_family() { return variant_family("Vg", {-0.5, -1.2, -1.9, -2.6, -3.3}); }

// np.linspace(start, stop, 101): every curve entry gets an array of its own.
nb::object x_range(const ModuleBody& m, nb::handle start, nb::handle stop) {
    return m("np").attr("linspace")(start, stop, nb::int_(101));
}

struct Axes {
    const char* x_col;
    const char* y_col;
    const char* x_label;
    const char* y_label;
    const char* x_unit;
    const char* y_unit;
};

// One curve entry, its nine keys in order.
nb::dict curve_entry(nb::list input_cols, const Axes& axes, nb::dict variants, nb::object x_coords) {
    nb::dict entry;
    entry["input_cols"] = input_cols;
    entry["x_col"] = axes.x_col;
    entry["y_col"] = axes.y_col;
    entry["x_label"] = axes.x_label;
    entry["y_label"] = axes.y_label;
    entry["x_unit"] = axes.x_unit;
    entry["y_unit"] = axes.y_unit;
    entry["variants"] = variants;
    entry["x_range"] = x_coords;
    return entry;
}

nb::dict prediction_params(int auto_linear_blend) {
    nb::dict params;
    params["auto_linear_blend"] = nb::int_(auto_linear_blend);
    return params;
}

// "PLD": currents and voltages negated, no input transform, blended with S_5.
nb::dict pld_config(const ModuleBody& m) {
    const Axes vd{"Neg_Vd_curve", "Log10_Neg_Clipped_Id_curve", "-Vd", "log10(-Id)", "V", "log10(A)"};
    const Axes vg{"Neg_Vg_curve", "Log10_Neg_Clipped_Id_curve", "-Vg", "log10(-Id)", "V", "log10(A)"};
    nb::dict curves;
    curves["breakdown"] = curve_entry(nb::list(), vd, default_only(), x_range(m, nb::int_(0), nb::int_(15)));
    curves["id-vg-sat"] = curve_entry(str_list({"Vb"}), vg, vb_family(),
                                      x_range(m, nb::float_(-0.1), nb::float_(3.65)));
    curves["id-vg-lin"] = curve_entry(str_list({"Vb"}), vg, vb_family(),
                                      x_range(m, nb::float_(-0.1), nb::float_(3.65)));
    curves["id-vd-0"] = curve_entry(str_list({"Vg"}), vd, vg_family(), x_range(m, nb::int_(0), nb::float_(3.65)));
    curves["id-vd-3.3"] = curve_entry(str_list({"Vg"}), vd, vg_family(), x_range(m, nb::int_(0), nb::float_(3.65)));

    nb::dict config;
    config["BASE_INPUT_COLS"] = str_list({"Finger Width", "Length", "nf", "Si pitch", "A", "C", "E"});
    config["CURVE_INFO"] = curves;
    config["PREDICTION_PARAMS"] = prediction_params(5);
    return config;
}

// "NLD": plain currents and voltages, base inputs derived from A..E, blended with S_3.
nb::dict nld_config(const ModuleBody& m) {
    const Axes vg{"VG_curve", "Log10_Clipped_ID_curve", "Vg", "log10(Id)", "V", "log10(A)"};
    const Axes vd{"VD_curve", "Log10_Clipped_ID_curve", "Vd", "log10(Id)", "V", "log10(A)"};
    nb::dict curves;
    curves["id-vg"] = curve_entry(nb::list(), vg, default_only(), x_range(m, nb::int_(0), nb::int_(6)));
    curves["id-vd"] = curve_entry(nb::list(), vd, default_only(), x_range(m, nb::int_(0), nb::int_(100)));

    nb::dict config;
    config["BASE_INPUT_COLS"] = str_list({"A", "B", "C+D+E", "C/(C+D+E)", "(C+D)/(C+D+E)", "S", "HP"});
    config["CURVE_INFO"] = curves;
    config["INPUT_TRANSFORM"] = make_nld_input_transform(m);
    config["PREDICTION_PARAMS"] = prediction_params(3);
    return config;
}

}  // namespace

void bind_device_config(const ModuleBody& m) {
    nb::dict table;
    table["PLD"] = pld_config(m);
    table["NLD"] = nld_config(m);
    m.bind("_DEVICE_CONFIG", table);
}

}  // namespace korva::curve::mos_utils
