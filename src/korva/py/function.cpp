// korva's function type: binds a call's arguments like a `def` (with the interpreter's own error
// texts), runs the C++ implementation, and exposes the attributes `inspect` and pickle rely on.
#include "korva/py/function.hpp"

#include "korva/py/attached_thread.hpp"

#include <cstddef>
#include <vector>

namespace korva::py {

namespace {

// Parameter lists are short; binding uses a fixed array on the stack.
constexpr Py_ssize_t max_parameters = 16;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Implementation implementation;
    PyObject* name;           // str
    PyObject* qualname;       // str
    PyObject* module;         // the __module__ value
    PyObject* doc;            // None unless set by the user
    PyObject* defaults;       // tuple or nullptr
    PyObject* kwdefaults;     // dict or nullptr
    PyObject* annotations;    // dict
    PyObject* globals;        // the module dict
    PyObject* builtins;       // the builtins dict captured at definition
    PyObject* code;           // synthetic code object describing the signature
    PyObject* varnames;       // tuple: positional-or-keyword names, keyword-only names, the **kwargs name
    PyObject* reduce_value;   // what __reduce__ returns; nullptr means the qualified name
    PyObject* dict;           // __dict__
    PyObject* weakrefs;
    Py_ssize_t argcount;      // positional-or-keyword parameters
    Py_ssize_t kwonlycount;   // keyword-only parameters, after those
    bool has_varkw;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// ---- argument binding ---------------------------------------------------------------------

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's listing of missing names.
nb::str format_missing(const std::vector<PyObject*>& names) {
    size_t n = names.size();
    nb::object text = nb::str("");
    for (size_t i = 0; i < n; ++i) {
        const char* separator = i == 0 ? "" : (n == 2 ? " and " : (i + 1 == n ? ", and " : ", "));
        text = nb::steal(PyUnicode_FromFormat("%U%s%R", text.ptr(), separator, names[i]));
        if (!text.is_valid()) throw nb::python_error();
    }
    return nb::borrow<nb::str>(text);
}

[[noreturn]] void raise_missing(FunctionObject* f, const std::vector<PyObject*>& names, const char* kind) {
    nb::str listing = format_missing(names);
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname, (int) names.size(),
                 kind, names.size() == 1 ? "" : "s", listing.ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_too_many_positional(FunctionObject* f, Py_ssize_t given, Py_ssize_t kwonly_given) {
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    nb::object signature;
    bool plural;
    if (defcount) {
        plural = true;
        signature = nb::steal(PyUnicode_FromFormat("from %zd to %zd", f->argcount - defcount, f->argcount));
    } else {
        plural = f->argcount != 1;
        signature = nb::steal(PyUnicode_FromFormat("%zd", f->argcount));
    }
    if (!signature.is_valid()) throw nb::python_error();
    nb::object kwonly_signature = nb::str("");
    if (kwonly_given)
        kwonly_signature = nb::steal(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                          given != 1 ? "s" : "", kwonly_given,
                                                          kwonly_given != 1 ? "s" : ""));
    if (!kwonly_signature.is_valid()) throw nb::python_error();
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f->qualname,
                 signature.ptr(), plural ? "s" : "", given, kwonly_signature.ptr(),
                 given == 1 && !kwonly_given ? "was" : "were");
    throw nb::python_error();
}

[[noreturn]] void raise_unexpected_keyword(FunctionObject* f, PyObject* keyword) {
    // The interpreter suggests the closest parameter name ("Did you mean 'x'?").
    nb::object suggestion;
    try {
        nb::list candidates;
        for (Py_ssize_t i = 0; i < f->argcount + f->kwonlycount; ++i)
            candidates.append(nb::handle(PyTuple_GET_ITEM(f->varnames, i)));
        suggestion = import("_suggestions").attr("_generate_suggestions")(candidates, nb::handle(keyword));
    } catch (const std::exception&) {
        suggestion = nb::none();
    }
    if (!suggestion.is_none())
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     f->qualname, keyword, suggestion.ptr());
    else
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
    throw nb::python_error();
}

// Index of the parameter named `keyword`, or -1.
Py_ssize_t parameter_index(FunctionObject* f, PyObject* keyword) {
    Py_ssize_t total = f->argcount + f->kwonlycount;
    for (Py_ssize_t i = 0; i < total; ++i)
        if (PyTuple_GET_ITEM(f->varnames, i) == keyword) return i;
    for (Py_ssize_t i = 0; i < total; ++i) {
        int equal = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(f->varnames, i), Py_EQ);
        if (equal < 0) throw nb::python_error();
        if (equal) return i;
    }
    return -1;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    try {
        CallScope scope;  // the exit hook waits for the threads inside a call
        Py_ssize_t given = PyVectorcall_NARGS(nargsf);
        PyObject* slots[max_parameters] = {};
        // The defaults tuple is immutable: holding it holds its values. The __kwdefaults__ dict is
        // not: code run during the call can rebind or delete an entry and free the value that a
        // slot points to, so the values taken from it are held one by one.
        nb::object defaults = nb::borrow(f->defaults);
        nb::object kwdefaults = nb::borrow(f->kwdefaults);
        nb::object kwonly_defaults[max_parameters];
        nb::object kwargs;
        if (f->has_varkw) kwargs = nb::dict();

        for (Py_ssize_t i = 0; i < std::min(given, f->argcount); ++i) slots[i] = args[i];

        Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[given + k];
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
                throw nb::python_error();
            }
            Py_ssize_t index = parameter_index(f, keyword);
            if (index < 0) {
                if (!f->has_varkw) raise_unexpected_keyword(f, keyword);
                if (PyDict_SetItem(kwargs.ptr(), keyword, value) < 0) throw nb::python_error();
                continue;
            }
            if (slots[index]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, keyword);
                throw nb::python_error();
            }
            slots[index] = value;
        }

        if (given > f->argcount) {
            Py_ssize_t kwonly_given = 0;
            for (Py_ssize_t i = f->argcount; i < f->argcount + f->kwonlycount; ++i) kwonly_given += slots[i] != nullptr;
            raise_too_many_positional(f, given, kwonly_given);
        }

        if (given < f->argcount) {
            Py_ssize_t defcount = defaults.is_valid() ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
            Py_ssize_t required = f->argcount - defcount;
            std::vector<PyObject*> missing;
            for (Py_ssize_t i = given; i < required; ++i)
                if (!slots[i]) missing.push_back(PyTuple_GET_ITEM(f->varnames, i));
            if (!missing.empty()) raise_missing(f, missing, "positional");
            for (Py_ssize_t i = std::max(given - required, Py_ssize_t(0)); i < defcount; ++i)
                if (!slots[required + i]) slots[required + i] = PyTuple_GET_ITEM(defaults.ptr(), i);
        }

        // Keyword-only parameters not given take their value from __kwdefaults__, as read now.
        std::vector<PyObject*> missing_kwonly;
        for (Py_ssize_t i = f->argcount; i < f->argcount + f->kwonlycount; ++i) {
            if (slots[i]) continue;
            PyObject* name = PyTuple_GET_ITEM(f->varnames, i);
            PyObject* value = nullptr;
            if (kwdefaults.is_valid() && PyDict_GetItemRef(kwdefaults.ptr(), name, &value) < 0)
                throw nb::python_error();
            kwonly_defaults[i] = nb::steal(value);
            if (value)
                slots[i] = value;
            else
                missing_kwonly.push_back(name);
        }
        if (!missing_kwonly.empty()) raise_missing(f, missing_kwonly, "keyword-only");

        if (!f->globals || !f->builtins) {  // cleared by the garbage collector
            PyErr_Format(PyExc_SystemError, "%U() has lost its globals", f->qualname);
            throw nb::python_error();
        }
        nb::object result = f->implementation(Call(slots, kwargs, f->globals, f->builtins));
        return result.release().ptr();
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const nb::builtin_exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    return nullptr;
}

// ---- type slots ---------------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->code);
    Py_VISIT(f->varnames);
    Py_VISIT(f->reduce_value);
    Py_VISIT(f->dict);
    return 0;
}

// Breaks reference cycles. The name, qualified name, parameter names and code hold only strings
// (their setters accept nothing else) and stay until deallocation, so a function the collector
// has cleared still reports its name.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->reduce_value);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    Py_CLEAR(f->varnames);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    FunctionObject* f = as_function(self);
    return Py_NewRef(f->reduce_value ? f->reduce_value : f->qualname);
}

// Getters and setters follow the interpreter's function attributes.
PyObject* get_field(PyObject* field) { return Py_NewRef(field ? field : Py_None); }

int set_str_field(PyObject** field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return get_field(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return get_field(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(&as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_module(PyObject* self, void*) { return get_field(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject* get_doc(PyObject* self, void*) { return get_field(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) { return get_field(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    FunctionObject* f = as_function(self);
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (value && PyTuple_GET_SIZE(value) > f->argcount) {
        // More defaults than parameters cannot be bound; a `def` would never have them either.
        PyErr_SetString(PyExc_ValueError, "__defaults__ has more values than the function has parameters");
        return -1;
    }
    Py_XSETREF(f->defaults, Py_XNewRef(value));
    return 0;
}
PyObject* get_kwdefaults(PyObject* self, void*) { return get_field(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}
PyObject* get_globals(PyObject* self, void*) { return get_field(as_function(self)->globals); }
PyObject* get_builtins(PyObject* self, void*) { return get_field(as_function(self)->builtins); }
PyObject* get_code(PyObject* self, void*) { return get_field(as_function(self)->code); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_type_params(PyObject*, void*) { return PyTuple_New(0); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY},
    {nullptr},
};

// Functions are atomic for the copy module, as the interpreter's own functions are.
PyObject* function_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {"__copy__", function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", function_copy, METH_O, nullptr},
    {nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, (void*) function_dealloc},
    {Py_tp_traverse, (void*) function_traverse},
    {Py_tp_clear, (void*) function_clear},
    {Py_tp_repr, (void*) function_repr},
    {Py_tp_call, (void*) PyVectorcall_Call},
    {Py_tp_descr_get, (void*) function_descr_get},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "korva.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// ---- reduction chain links ----------------------------------------------------------------

struct ReduceStepObject {
    PyObject_HEAD
    PyObject* callable;
    PyObject* args;
};

int reduce_step_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* step = reinterpret_cast<ReduceStepObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(step->callable);
    Py_VISIT(step->args);
    return 0;
}

int reduce_step_clear(PyObject* self) {
    auto* step = reinterpret_cast<ReduceStepObject*>(self);
    Py_CLEAR(step->callable);
    Py_CLEAR(step->args);
    return 0;
}

void reduce_step_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reduce_step_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* reduce_step_reduce(PyObject* self, PyObject*) {
    auto* step = reinterpret_cast<ReduceStepObject*>(self);
    return PyTuple_Pack(2, step->callable, step->args);
}

PyMethodDef reduce_step_methods[] = {
    {"__reduce__", reduce_step_reduce, METH_NOARGS, nullptr},
    {nullptr},
};

PyType_Slot reduce_step_slots[] = {
    {Py_tp_dealloc, (void*) reduce_step_dealloc},
    {Py_tp_traverse, (void*) reduce_step_traverse},
    {Py_tp_clear, (void*) reduce_step_clear},
    {Py_tp_methods, reduce_step_methods},
    {0, nullptr},
};

PyType_Spec reduce_step_spec = {
    "korva._reduce_step",
    sizeof(ReduceStepObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    reduce_step_slots,
};

// A code object that carries the signature: argument names, count and the **kwargs flag.
nb::object make_code(nb::handle name, nb::handle qualname, nb::handle varnames, Py_ssize_t argcount,
                     Py_ssize_t kwonlycount, bool has_varkw, nb::handle filename) {
    const char* name_text = PyUnicode_AsUTF8(name.ptr());
    if (!name_text) throw nb::python_error();
    // The file name (the module's __file__, whatever text it holds) goes in as an object, never
    // through a C string, so text that UTF-8 cannot encode is kept as it is rather than a failure.
    nb::object code = nb::steal((PyObject*) PyCode_NewEmpty("<korva>", name_text, 1));
    if (!code.is_valid()) throw nb::python_error();
    code = code.attr("replace")("co_filename"_a = filename);
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (has_varkw ? CO_VARKEYWORDS : 0);
    return code.attr("replace")("co_argcount"_a = argcount, "co_posonlyargcount"_a = 0,
                                "co_kwonlyargcount"_a = kwonlycount, "co_nlocals"_a = PyTuple_GET_SIZE(varnames.ptr()),
                                "co_varnames"_a = varnames, "co_flags"_a = flags, "co_qualname"_a = qualname);
}

}  // namespace

nb::object Call::operator()(const char* name) const {
    PyObject* value = nullptr;
    int found = PyDict_GetItemStringRef(globals_.ptr(), name, &value);
    if (found == 0) found = PyDict_GetItemStringRef(builtins_.ptr(), name, &value);
    if (found < 0) throw nb::python_error();
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::steal(value);
}

void create_function_types(nb::handle package_module, nb::object& function_type, nb::object& reduce_step_type) {
    function_type = nb::steal(PyType_FromModuleAndSpec(package_module.ptr(), &function_spec, nullptr));
    if (!function_type.is_valid()) throw nb::python_error();
    reduce_step_type = nb::steal(PyType_FromModuleAndSpec(package_module.ptr(), &reduce_step_spec, nullptr));
    if (!reduce_step_type.is_valid()) throw nb::python_error();
}

nb::object make_function(nb::handle function_type, nb::handle module, const FunctionSpec& spec) {
    Py_ssize_t argcount = (Py_ssize_t) spec.parameters.size();
    Py_ssize_t kwonlycount = (Py_ssize_t) spec.keyword_only.size();
    if (argcount + kwonlycount > max_parameters) throw std::length_error("too many parameters");

    nb::object varnames = nb::steal(PyTuple_New(argcount + kwonlycount + (spec.varkw ? 1 : 0)));
    if (!varnames.is_valid()) throw nb::python_error();
    nb::dict annotations;
    nb::list defaults;
    nb::dict kwdefaults;
    Py_ssize_t i = 0;
    auto add_name = [&](const char* text) {
        PyObject* name = PyUnicode_InternFromString(text);
        if (!name) throw nb::python_error();
        PyTuple_SET_ITEM(varnames.ptr(), i++, name);
    };
    for (const Parameter& parameter : spec.parameters) {
        add_name(parameter.name);
        if (parameter.annotation.is_valid()) annotations[parameter.name] = parameter.annotation;
        if (parameter.default_value.is_valid()) defaults.append(parameter.default_value);
    }
    for (const Parameter& parameter : spec.keyword_only) {
        add_name(parameter.name);
        if (parameter.annotation.is_valid()) annotations[parameter.name] = parameter.annotation;
        if (parameter.default_value.is_valid()) kwdefaults[parameter.name] = parameter.default_value;
    }
    if (spec.varkw) add_name(spec.varkw);
    if (spec.return_annotation.is_valid()) annotations["return"] = spec.return_annotation;

    nb::dict globals = nb::borrow<nb::dict>(PyModule_GetDict(module.ptr()));
    nb::str name(spec.name);
    nb::object module_name = globals.contains("__name__") ? globals["__name__"] : nb::none();
    nb::object filename = nb::str("<korva>");
    if (globals.contains("__file__")) {
        nb::object file = globals["__file__"];
        // A str subclass enters the code object as the plain str of its value.
        if (PyUnicode_Check(file.ptr())) filename = nb::steal(PyUnicode_FromObject(file.ptr()));
        if (!filename.is_valid()) throw nb::python_error();
    }
    nb::object code = make_code(name, name, varnames, argcount, kwonlycount, spec.varkw != nullptr, filename);
    nb::object default_values;
    if (defaults.size()) {
        default_values = nb::steal(PyList_AsTuple(defaults.ptr()));
        if (!default_values.is_valid()) throw nb::python_error();
    }

    auto* type = reinterpret_cast<PyTypeObject*>(function_type.ptr());
    nb::object self = nb::steal(type->tp_alloc(type, 0));
    if (!self.is_valid()) throw nb::python_error();
    FunctionObject* f = as_function(self.ptr());
    f->vectorcall = function_vectorcall;
    f->implementation = spec.implementation;
    f->name = name.inc_ref().ptr();
    f->qualname = name.inc_ref().ptr();
    f->module = module_name.release().ptr();
    f->doc = Py_NewRef(Py_None);
    f->defaults = default_values.is_valid() ? default_values.release().ptr() : nullptr;
    f->kwdefaults = kwdefaults.size() ? kwdefaults.release().ptr() : nullptr;
    f->annotations = annotations.release().ptr();
    f->globals = globals.release().ptr();
    f->builtins = Py_NewRef(PyEval_GetBuiltins());
    f->code = code.release().ptr();
    f->varnames = varnames.release().ptr();
    f->reduce_value = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->argcount = argcount;
    f->kwonlycount = kwonlycount;
    f->has_varkw = spec.varkw != nullptr;
    return self;
}

nb::object define(nb::handle function_type, nb::handle module, const FunctionSpec& spec) {
    nb::object function = make_function(function_type, module, spec);
    if (PyDict_SetItemString(PyModule_GetDict(module.ptr()), spec.name, function.ptr()) < 0)
        throw nb::python_error();
    return function;
}

bool is_function(nb::handle obj, Implementation implementation, nb::handle globals) {
    // Every korva function type, whichever package module made it, shares this deallocator.
    if (!obj.is_valid() || Py_TYPE(obj.ptr())->tp_dealloc != function_dealloc) return false;
    FunctionObject* f = as_function(obj.ptr());
    return f->implementation == implementation && f->globals == globals.ptr();
}

void set_reduce_value(nb::handle function, nb::handle reduce_value) {
    Py_XSETREF(as_function(function.ptr())->reduce_value, Py_NewRef(reduce_value.ptr()));
}

nb::object reduce_step(nb::handle reduce_step_type, nb::handle callable, nb::handle args) {
    auto* type = reinterpret_cast<PyTypeObject*>(reduce_step_type.ptr());
    nb::object self = nb::steal(type->tp_alloc(type, 0));
    if (!self.is_valid()) throw nb::python_error();
    auto* step = reinterpret_cast<ReduceStepObject*>(self.ptr());
    step->callable = Py_NewRef(callable.ptr());
    step->args = Py_NewRef(args.ptr());
    return self;
}

}  // namespace korva::py
