// Threads and the interpreter's end: threads of korva's own attached to the interpreter, scopes that
// let the GIL go, and what happens to both when the interpreter exits. CPython 3.13 ends a thread
// that takes the GIL once finalisation has begun (a forced unwind through whatever C++ it is in),
// so korva's exit hook, run with the other atexit callbacks, first lets every thread that is inside
// korva reach a point where it can stop for good: korva's own threads end, other threads (daemon
// threads of the program) park there, blocked without the GIL until the process ends.
#pragma once

#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace korva::py {

struct Threads;  // the interpreter's record of the threads inside korva (attached_thread.cpp)

// How long the exit hook waits for the threads inside korva; one that has not stopped by then (a
// model's predict that is still running, say) is left to the interpreter.
constexpr std::chrono::seconds exit_wait{10};

// Thrown on one of korva's own threads, at a checkpoint, once the interpreter is exiting: the thread
// unwinds (with the GIL held) and ends.
struct Stopping : std::exception {
    const char* what() const noexcept override { return "the interpreter is exiting"; }
};

// Whether this thread has a thread state attached (holds the GIL). A destructor that touches the
// interpreter checks this first: during a forced unwind the interpreter has already let it go.
inline bool attached() { return PyThreadState_GetUnchecked() != nullptr; }

// The scope of one call of a korva function on the thread that calls it (the function type opens
// one around every call). Needs the GIL. Once the interpreter is exiting, a call that starts on
// another thread than the exiting one and korva's own parks at once.
class CallScope {
public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    std::shared_ptr<Threads> threads_;
};

// A point between two steps of a korva call, with the GIL held, where the call may stop for good
// once the interpreter is exiting: korva's own threads throw Stopping, other threads park.
void checkpoint();

// For a scope that does not touch Python: the GIL is let go, and taken back at its end, except on
// a thread the interpreter is about to end (it is exiting or finalising and this is neither the
// thread that finalises it nor, before finalisation, one of korva's own): that thread parks there.
class Detached {
public:
    Detached();
    ~Detached();
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    std::shared_ptr<Threads> threads_;
    PyThreadState* state_;
};

// Whether the interpreter is exiting (korva's exit hook has run), read without the GIL: for a
// thread of korva's own that waits without the GIL on something that may never come (its caller
// may have parked). Made with the GIL.
class ExitWatch {
public:
    ExitWatch();
    bool exiting() const;

    // `changed.wait(lock, ready)` that also returns once the interpreter is exiting; returns ready().
    template <class Ready>
    bool wait(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, Ready ready) const {
        while (!ready()) {
            if (exiting()) return false;
            changed.wait_for(lock, std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    std::shared_ptr<Threads> threads_;
};

// While alive on a thread started by C++, the thread has a thread state of the interpreter and
// holds the GIL; it counts as one of korva's own threads, which the exit hook waits for. Nothing is
// attached (attached() is false) once the interpreter is exiting or finalising. The destructor
// never touches the interpreter when the interpreter has ended the thread (a forced unwind).
class AttachedThread {
public:
    explicit AttachedThread(PyInterpreterState* interpreter);
    ~AttachedThread();
    AttachedThread(const AttachedThread&) = delete;
    AttachedThread& operator=(const AttachedThread&) = delete;

    bool attached() const { return state_ != nullptr; }

private:
    friend class Thread;
    AttachedThread(PyInterpreterState* interpreter, std::shared_ptr<Threads> threads);
    void attach(PyInterpreterState* interpreter);

    std::shared_ptr<Threads> threads_;
    PyThreadState* state_ = nullptr;
};

// A thread of korva's own: `body` runs on it attached to the interpreter, with the GIL (it must not
// throw: what it raises, it reports itself), then `finished`, without the GIL, also when the thread
// could not attach or is being unwound. Made with the GIL; not started (started() is false, neither
// callable runs) once the interpreter is exiting or finalising, or when the system refuses a thread.
// Joined by join() or the destructor, with the GIL let go.
class Thread {
public:
    Thread(std::function<void()> body, std::function<void()> finished = {});
    ~Thread() { join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    bool started() const { return thread_.joinable(); }
    void join();

private:
    std::thread thread_;
};

}  // namespace korva::py
