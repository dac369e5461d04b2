// Attaching a thread of C++'s own to the interpreter, and detaching it again.
#include "korva/py/attached_thread.hpp"

namespace korva::py {

AttachedThread::AttachedThread(PyInterpreterState* interpreter) : state_(PyThreadState_New(interpreter)) {
    if (state_) PyEval_RestoreThread(state_);
}

AttachedThread::~AttachedThread() {
    if (!state_) return;
    PyThreadState_Clear(state_);
    PyThreadState_DeleteCurrent();
}

}  // namespace korva::py
