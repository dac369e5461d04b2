// What a module body works with: its module, the package's shared types, and the statements a
// Python module body is made of (imports, bindings, `def`, `class X(Base): pass`).
#pragma once

#include "korva/py/function.hpp"

#include <initializer_list>

namespace korva {

namespace nb = nanobind;

// The package-wide types every module body needs, owned by the `korva` package module.
struct SharedTypes {
    nb::handle function_type;
    nb::handle reduce_step_type;
};

class ModuleBody {
public:
    ModuleBody(nb::handle module, const SharedTypes& types) : module_(module), types_(types) {}

    nb::handle module() const { return module_; }
    const SharedTypes& types() const { return types_; }

    // A name as the body's code would see it: the module dict, then the builtins.
    nb::object operator()(const char* name) const;

    // `name = value`
    void bind(const char* name, nb::handle value) const;

    // `import a.b` (binds `a`), or `import a.b as name` (binds the leaf module as `name`).
    void import(const char* module, const char* as_name = nullptr) const;

    // `from module import n1, n2, ...`, binding each name in order.
    void import_from(const char* module, std::initializer_list<const char*> names) const;

    // `from . import n1, n2, ...` inside a package.
    void import_relative(std::initializer_list<const char*> names) const;

    // `def name(...)`: builds the function with this module's globals and binds it.
    nb::object def(const py::FunctionSpec& spec) const;

    // `class name(base): pass`, bound in the module.
    nb::object exception_class(const char* name, nb::handle base) const;

private:
    nb::handle module_;
    SharedTypes types_;
};

using BodyFunction = void (*)(const ModuleBody&);

// `try: <block> ; flag = True` / `except ImportError: flag = False`: only ImportError is caught.
template <class Block>
void guarded_import(const ModuleBody& m, const char* flag, Block&& block) {
    try {
        block();
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        m.bind(flag, nb::bool_(false));
        return;
    }
    m.bind(flag, nb::bool_(true));
}

}  // namespace korva
