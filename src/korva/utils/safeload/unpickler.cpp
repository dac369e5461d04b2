// The restricted unpickler of korva.utils.safeload: a subclass of the interpreter's compiled
// Unpickler whose find_class checks each global against the call's allow-list again, before
// anything is imported, and whose persistent_load refuses every persistent id.
#include "korva/utils/safeload/safeload.hpp"

namespace korva::utils::safeload {

CheckedGlobal check_global(const py::Call& g) {
    auto [module, name] = canonical(g("_compat_pickle"), g[1], g[2]);
    nb::object full = py::f_string("", module) + py::s(".") + py::f_string("", name);
    // The allow-list is the unpickler's own, set by load_dump; the check comes before any import.
    nb::object trusted = g[0].attr("_trusted");
    if (!PyUnicode_Check(module.ptr()) || !PyUnicode_Check(name.ptr()) || never_trusted(module, name) ||
        !py::contains(trusted, full))
        raise_untrusted(g, py::f_string("untrusted global refused while loading: ", full), nb::make_tuple(full));
    return {std::move(module), std::move(name), std::move(full)};
}

nb::object find_class(const py::Call& g) {
    auto [module, name, full] = check_global(g);
    if (const char* substitute = substitute_for(module, name)) return g(substitute);

    // `import module`, then the dotted qualname attribute by attribute.
    nb::object found = nb::steal(PyImport_Import(module.ptr()));
    if (!found.is_valid()) throw nb::python_error();
    for (nb::handle part : nb::borrow<nb::list>(name.attr("split")(".")))
        found = found.attr(part);
    return found;
}

nb::object persistent_load(const py::Call& g) {
    raise_untrusted(g, py::f_string("persistent id refused: ", nb::repr(g[1])), nb::make_tuple(py::s("PERSID")));
}

nb::object define_unpickler(const ModuleBody& m) {
    nb::object any = m("Any");
    nb::object str = m("str");
    nb::dict namespace_;
    namespace_["__module__"] = m("__name__");
    namespace_["__qualname__"] = "_RestrictedUnpickler";
    namespace_["find_class"] = py::make_function(
        m.types().function_type, m.module(),
        {"find_class", find_class, {{"self"}, {"module_name", str}, {"global_name", str}}, any});
    namespace_["persistent_load"] = py::make_function(m.types().function_type, m.module(),
                                                      {"persistent_load", persistent_load, {{"self"}, {"pid", any}}, any});
    nb::object base = py::import_from("_pickle", "Unpickler");
    nb::object cls = m("type")("_RestrictedUnpickler", nb::make_tuple(base), namespace_);
    m.bind("_RestrictedUnpickler", cls);
    return cls;
}

}  // namespace korva::utils::safeload
