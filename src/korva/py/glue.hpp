// The glue between korva's C++ and the interpreter: owning handles and calls (nanobind's object
// API), raising Python exceptions from C++, `with` blocks and typing subscriptions.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace korva::py {

namespace nb = nanobind;
using namespace nb::literals;

// A new reference to a Python string; `s("x")` reads better than nb::str("x") inside expressions.
inline nb::str s(const char* text) { return nb::str(text); }

// `import name` (the module itself, also for dotted names).
nb::object import(const char* name);

// `from module import name`.
nb::object import_from(const char* module, const char* name);

// sys.modules.get(name): the module if it is loaded, else None; nothing is imported.
nb::object loaded_module(const char* name);

// getattr(sys.modules.get(module), name, None): an attribute of a module only if it is loaded.
nb::object loaded_attribute(const char* module, const char* name);

// Raise `type(message)` with the interpreter's usual implicit chaining to the exception being handled.
[[noreturn]] void raise(nb::handle type, nb::handle message);
[[noreturn]] void raise(nb::handle type, const char* message);

// Raise `type(message)` from inside an `except` clause that caught `caught`: like a Python `raise`
// in a handler, the new exception gets `caught` as its implicit context and no explicit cause.
[[noreturn]] void raise_in_handler(const nb::python_error& caught, nb::handle type, nb::handle message);
[[noreturn]] void raise_in_handler(const nb::python_error& caught, nb::handle type, const char* message);

// `f"{prefix}{value}"`: the value rendered as an f-string renders it, i.e. format(value, "").
nb::str f_string(const char* prefix, nb::handle value, const char* suffix = "");

// The truth value of an object, as `if obj:` computes it.
bool truthy(nb::handle obj);

// `a <op> b` as an `if` statement evaluates it (rich comparison, then its truth value); `op` is
// one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE.
bool compare(nb::handle a, nb::handle b, int op);

// `item in container`.
bool contains(nb::handle container, nb::handle item);

// `slice(start, stop)`, for subscriptions such as `data[:n]` (an invalid or None handle: omitted).
nb::object slice(nb::handle start, nb::handle stop);

// `a == b` with Python semantics.
bool equals(nb::handle a, nb::handle b);
bool equals(nb::handle a, const char* b);

// `generic[args]`; several arguments become one tuple key, as in `Union[str, Path]`.
nb::object sub(nb::handle generic, std::initializer_list<nb::handle> args);

namespace detail {
nb::object enter(nb::handle manager, nb::object& exit);
bool exit_with_error(nb::handle manager, nb::handle exit, const nb::python_error& error);
void exit_cleanly(nb::handle manager, nb::handle exit);
}  // namespace detail

// Runs `body(entered)` inside `with manager as entered:` following the interpreter's protocol:
// `__exit__` always runs, receives the exception (which it may suppress) and errors it raises win.
template <class Body>
void with(nb::handle manager, Body&& body) {
    nb::object exit;
    nb::object entered = detail::enter(manager, exit);
    try {
        body(entered);
    } catch (nb::python_error& error) {
        if (!detail::exit_with_error(manager, exit, error)) throw;
        return;
    }
    detail::exit_cleanly(manager, exit);
}

}  // namespace korva::py
