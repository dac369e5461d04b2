// Byte-string plumbing for the payload stages (see buffers.hpp).
#include "korva/utils/buffers.hpp"

#include <cstring>

namespace korva::utils::buffers {

nb::object concat(nb::object a, nb::handle b) {
    if (PyBytes_CheckExact(a.ptr()) && PyBytes_CheckExact(b.ptr())) {
        Py_ssize_t a_size = PyBytes_GET_SIZE(a.ptr()), b_size = PyBytes_GET_SIZE(b.ptr());
        // bytes + b"" is the left operand itself, as the interpreter's `+` returns it.
        if (b_size == 0) return a;
        // `a` held by us alone (a fresh result of the previous call) can grow where it is.
        if (Py_REFCNT(a.ptr()) == 1 && a_size > 0 && a_size <= PY_SSIZE_T_MAX - b_size) {
            PyObject* raw = a.release().ptr();
            if (_PyBytes_Resize(&raw, a_size + b_size) < 0) throw nb::python_error();
            std::memcpy(PyBytes_AS_STRING(raw) + a_size, PyBytes_AS_STRING(b.ptr()), (size_t) b_size);
            return nb::steal(raw);
        }
    }
    nb::object sum = nb::steal(PyNumber_Add(a.ptr(), b.ptr()));
    if (!sum.is_valid()) throw nb::python_error();
    return sum;
}

nb::object allocate(Py_ssize_t size) {
    nb::object result = nb::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

Window::Window(nb::handle target, Py_ssize_t offset, Py_ssize_t size) : target_(target) {
    view_ = nb::steal(PyMemoryView_FromMemory(PyBytes_AS_STRING(target.ptr()) + offset, size, PyBUF_WRITE));
    if (!view_.is_valid()) throw nb::python_error();
}

Window::~Window() {
    // Runs while an exception may be propagating: keep the interpreter's error state untouched.
    PyObject* pending = PyErr_GetRaisedException();
    release();
    PyErr_SetRaisedException(pending);
}

bool Window::release() {
    if (!view_.is_valid()) return true;
    // A slice of the view shares its managed buffer and outlives its release; a buffer taken from
    // the view makes the release fail. Either still points into the target, which may then be
    // neither resized nor freed while it lives, and it is not known when it dies.
    bool sliced = reinterpret_cast<PyMemoryViewObject*>(view_.ptr())->mbuf->exports > 1;
    PyObject* done = PyObject_CallMethod(view_.ptr(), "release", nullptr);
    view_.reset();
    if (done) Py_DECREF(done);
    if (done && !sliced) return true;
    PyErr_Clear();
    Py_INCREF(target_.ptr());
    return false;
}

void Window::close(nb::object& target) {
    if (release()) return;
    nb::object copy = allocate(PyBytes_GET_SIZE(target.ptr()));
    std::memcpy(PyBytes_AS_STRING(copy.ptr()), PyBytes_AS_STRING(target.ptr()), (size_t) PyBytes_GET_SIZE(target.ptr()));
    target = std::move(copy);
}

void shrink(nb::object& target, Py_ssize_t size) {
    if (PyBytes_GET_SIZE(target.ptr()) == size) return;
    PyObject* raw = target.release().ptr();
    if (_PyBytes_Resize(&raw, size) < 0) throw nb::python_error();
    target = nb::steal(raw);
}

}  // namespace korva::utils::buffers
