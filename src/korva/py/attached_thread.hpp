// A thread started by C++ that runs Python code: while an AttachedThread lives on it, the thread
// has a thread state of the interpreter and holds the GIL; `Detached` lets the GIL go for a wait.
#pragma once

#include <Python.h>

namespace korva::py {

class AttachedThread {
public:
    explicit AttachedThread(PyInterpreterState* interpreter);
    ~AttachedThread();
    AttachedThread(const AttachedThread&) = delete;
    AttachedThread& operator=(const AttachedThread&) = delete;

    // false when no thread state could be made: the thread must not touch Python
    bool attached() const { return state_ != nullptr; }

private:
    PyThreadState* state_;
};

// For a scope that waits without touching Python: the GIL is let go and taken back at its end.
class Detached {
public:
    Detached() : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace korva::py
