// korva's function type: a C++ implementation behind an object that behaves like a Python `def`
// (signature, defaults, annotations, binding errors, late-bound globals, pickling by reference).
#pragma once

#include "korva/py/glue.hpp"

#include <initializer_list>

namespace korva::py {

// What an implementation sees of one call: the bound parameters, `**kwargs` (when declared) and
// the module globals, looked up at each use like a Python function's global names.
class Call {
public:
    Call(PyObject* const* params, nb::handle kwargs, nb::handle globals, nb::handle builtins)
        : params_(params), kwargs_(kwargs), globals_(globals), builtins_(builtins) {}

    // The i-th parameter, in declaration order (the keyword-only ones after the others).
    nb::handle operator[](size_t i) const { return params_[i]; }

    // The `**kwargs` dict (only for functions that declare one).
    nb::dict kwargs() const { return nb::borrow<nb::dict>(kwargs_); }

    // A global name: the module dict first, then the builtins; NameError when neither has it.
    nb::object operator()(const char* name) const;

    nb::handle globals() const { return globals_; }

private:
    PyObject* const* params_;
    nb::handle kwargs_, globals_, builtins_;
};

using Implementation = nb::object (*)(const Call&);

// One parameter: its name, annotation (invalid handle: none) and default (invalid handle: none).
struct Parameter {
    const char* name;
    nb::object annotation = {};
    nb::object default_value = {};
};

// The declaration of one function: everything the Python surface is built from.
struct FunctionSpec {
    const char* name;
    Implementation implementation;
    std::initializer_list<Parameter> parameters;
    nb::object return_annotation = {};  // invalid: no "return" annotation
    const char* varkw = nullptr;        // name of a `**kwargs` parameter, if any
    std::initializer_list<Parameter> keyword_only = {};  // the parameters after a bare `*`
};

// Creates the types the function objects need; called once by the package's initialisation.
void create_function_types(nb::handle package_module, nb::object& function_type, nb::object& reduce_step_type);

// Builds a function object whose globals are `module`'s dict (not yet bound anywhere).
nb::object make_function(nb::handle function_type, nb::handle module, const FunctionSpec& spec);

// Builds the function and binds it in the module under its name, as a `def` statement does.
nb::object define(nb::handle function_type, nb::handle module, const FunctionSpec& spec);

// Whether `obj` is a korva function that runs `implementation` with the module dict `globals`:
// how a fast path tells a module's own function from a replacement.
bool is_function(nb::handle obj, Implementation implementation, nb::handle globals);

// Sets what the function's `__reduce__` returns instead of its qualified name.
void set_reduce_value(nb::handle function, nb::handle reduce_value);

// An object that pickles as `callable(*args)`: the links of a reduction chain that reaches an
// object without a module-level name (import a module, take an attribute, take an item).
nb::object reduce_step(nb::handle reduce_step_type, nb::handle callable, nb::handle args);

}  // namespace korva::py
