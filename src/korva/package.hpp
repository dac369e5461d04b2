// The `korva` package module: its definition and the state it owns for the whole module tree.
#pragma once

#include "korva/module_body.hpp"

namespace korva {

struct PackageState {
    PyObject* function_type;
    PyObject* reduce_step_type;
    PyObject* finder_type;
    PyObject* nanobind_anchor;  // keeps nanobind's context alive as long as the package
};

extern PyModuleDef package_definition;

// The package module that defined `type` (a type created by the package's initialisation).
nb::handle package_module_of(PyTypeObject* type);

SharedTypes shared_types(nb::handle package_module);

}  // namespace korva
