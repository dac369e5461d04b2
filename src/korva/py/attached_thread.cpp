// Threads of korva's own, scopes without the GIL, and the exit hook that lets every thread inside
// korva stop before the interpreter finalises.
#include "korva/py/attached_thread.hpp"

#include "korva/py/glue.hpp"
#include "korva/py/interpreter.hpp"

#include <atomic>
#include <system_error>
#include <unordered_map>

namespace korva::py {

// The interpreter's record of the threads inside korva: what the exit hook waits for. Read and
// written under `mutex`; `exiting` is also read without it.
struct Threads {
    struct Entry {
        int calls = 0;       // korva calls open on the thread
        int detached = 0;    // Detached scopes open on it
        bool own = false;    // one of korva's own threads, attached
        bool parked = false;
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<bool> exiting{false};
    unsigned long exit_thread = 0;  // the thread that ran the hook, which finalises the interpreter
    Py_ssize_t starting = 0;        // own threads started and not yet attached
    std::unordered_map<unsigned long, Entry> entries;
    bool hook_registered = false;   // read and written under the GIL

    // Whether no thread inside korva but the exiting one will touch the interpreter again: each has
    // parked, or is not one of korva's own and waits without the GIL in a Detached scope, which it
    // leaves only to park. korva's own threads end.
    bool settled() const {
        if (starting > 0) return false;
        for (const auto& [thread, entry] : entries) {
            if (thread == exit_thread || entry.parked) continue;
            if (entry.own || (entry.calls > 0 && entry.detached == 0)) return false;
        }
        return true;
    }

    // Drops the entry of a thread that has nothing open in korva any more.
    void forget_if_idle(unsigned long thread) {
        auto found = entries.find(thread);
        if (found == entries.end()) return;
        const Entry& entry = found->second;
        if (!entry.calls && !entry.detached && !entry.own && !entry.parked) entries.erase(found);
    }
};

namespace {

constexpr const char* threads_key = "korva.threads";

unsigned long this_thread() { return PyThread_get_thread_ident(); }

// Blocks this thread for good, without the GIL: the interpreter is about to end it, and nothing it
// holds may be released or touched any more. The process ends it (as CPython 3.14 does itself).
[[noreturn]] void park(Threads& threads, std::unique_lock<std::mutex>& lock, bool holding_gil) {
    threads.entries[this_thread()].parked = true;
    threads.changed.notify_all();
    lock.unlock();
    if (holding_gil) PyEval_SaveThread();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// Whether a thread leaving a Detached scope must park rather than take the GIL back: during
// finalisation any thread but the finalising one (CPython would end it in the middle of a
// destructor); once the hook has run, any thread but the exiting one and korva's own, which the
// hook lets finish.
bool must_park(const Threads& threads, const Threads::Entry& entry, unsigned long thread) {
    if (threads.exit_thread == thread) return false;
    if (Py_IsFinalizing()) return threads.exit_thread != 0;  // no hook ran: which thread finalises is unknown
    return threads.exiting && !entry.own;
}

PyObject* at_exit(PyObject* capsule, PyObject*) {
    std::shared_ptr<Threads> threads = *static_cast<std::shared_ptr<Threads>*>(PyCapsule_GetPointer(capsule, nullptr));
    // Only when the interpreter exits: threading has wound up its threads (its main thread is no
    // longer alive), or was never imported. atexit callbacks run by hand leave korva alone.
    try {
        nb::object threading = loaded_module("threading");
        if (!threading.is_none() && truthy(threading.attr("main_thread")().attr("is_alive")())) Py_RETURN_NONE;
    } catch (nb::python_error& error) {
        error.discard_as_unraisable("korva's exit hook");
    }
    {
        std::lock_guard<std::mutex> lock(threads->mutex);
        threads->exit_thread = this_thread();
        threads->exiting = true;
    }
    Detached waiting;
    std::unique_lock<std::mutex> lock(threads->mutex);
    threads->changed.wait_for(lock, exit_wait, [&] { return threads->settled(); });
    lock.unlock();  // before the GIL is taken back
    Py_RETURN_NONE;
}

// never written: the interpreter keeps a pointer to it in the hook function
PyMethodDef at_exit_definition = {"_korva_threads_at_exit", at_exit, METH_NOARGS, nullptr};

// The record of the running interpreter, made at first use together with its exit hook.
std::shared_ptr<Threads> threads_of_interpreter() {
    std::shared_ptr<Threads> threads = interpreter_object<Threads>(threads_key);
    if (!threads->hook_registered) {
        threads->hook_registered = true;
        nb::object self = detail::capsule_of(new std::shared_ptr<Threads>(threads), nullptr,
                                             [](void* p) { delete static_cast<std::shared_ptr<Threads>*>(p); });
        nb::object hook = nb::steal(PyCFunction_New(&at_exit_definition, self.ptr()));
        if (!hook.is_valid()) throw nb::python_error();
        import("atexit").attr("register")(hook);
    }
    return threads;
}

}  // namespace

CallScope::CallScope() : threads_(threads_of_interpreter()) {
    std::unique_lock<std::mutex> lock(threads_->mutex);
    unsigned long thread = this_thread();
    Threads::Entry& entry = threads_->entries[thread];
    // korva's own threads go on to their next checkpoint, where they end
    if (threads_->exiting && thread != threads_->exit_thread && !entry.own) park(*threads_, lock, true);
    ++entry.calls;
}

CallScope::~CallScope() {
    std::lock_guard<std::mutex> lock(threads_->mutex);
    unsigned long thread = this_thread();
    --threads_->entries[thread].calls;
    threads_->forget_if_idle(thread);
    threads_->changed.notify_all();
}

void checkpoint() {
    std::shared_ptr<Threads> threads = interpreter_object_if_made<Threads>(threads_key);
    if (!threads || !threads->exiting) return;
    std::unique_lock<std::mutex> lock(threads->mutex);
    unsigned long thread = this_thread();
    if (thread == threads->exit_thread) return;
    auto found = threads->entries.find(thread);
    if (found != threads->entries.end() && found->second.own) throw Stopping{};
    park(*threads, lock, true);
}

Detached::Detached() : threads_(interpreter_object_if_made<Threads>(threads_key)) {
    if (threads_) {
        std::lock_guard<std::mutex> lock(threads_->mutex);
        ++threads_->entries[this_thread()].detached;
        threads_->changed.notify_all();  // the exit hook may be waiting for this thread
    }
    state_ = PyEval_SaveThread();
}

Detached::~Detached() {
    if (threads_) {
        std::unique_lock<std::mutex> lock(threads_->mutex);
        unsigned long thread = this_thread();
        Threads::Entry& entry = threads_->entries[thread];
        if (must_park(*threads_, entry, thread)) park(*threads_, lock, false);
        --entry.detached;
        threads_->forget_if_idle(thread);
    }
    PyEval_RestoreThread(state_);
}

ExitWatch::ExitWatch() : threads_(interpreter_object_if_made<Threads>(threads_key)) {}

bool ExitWatch::exiting() const { return threads_ && threads_->exiting; }

void AttachedThread::attach(PyInterpreterState* interpreter) {
    // a thread that first takes the GIL while the interpreter finalises is ended there
    if (Py_IsFinalizing()) return;
    state_ = PyThreadState_New(interpreter);
    if (state_) PyEval_RestoreThread(state_);
}

AttachedThread::AttachedThread(PyInterpreterState* interpreter) {
    attach(interpreter);
    if (!state_) return;
    try {
        threads_ = interpreter_object_if_made<Threads>(threads_key);
    } catch (nb::python_error& error) {
        error.discard_as_unraisable("korva's record of its threads");
    }
    if (!threads_) return;
    std::unique_lock<std::mutex> lock(threads_->mutex);
    if (!threads_->exiting) {
        threads_->entries[this_thread()].own = true;
        return;
    }
    lock.unlock();
    PyThreadState_Clear(state_);  // too late to start: let the thread state go again
    PyThreadState_DeleteCurrent();
    state_ = nullptr;
}

AttachedThread::AttachedThread(PyInterpreterState* interpreter, std::shared_ptr<Threads> threads)
    : threads_(std::move(threads)) {
    {
        std::lock_guard<std::mutex> lock(threads_->mutex);
        --threads_->starting;
        threads_->changed.notify_all();
        if (threads_->exiting || Py_IsFinalizing()) return;
        threads_->entries[this_thread()].own = true;
    }
    attach(interpreter);
}

AttachedThread::~AttachedThread() {
    // A thread the interpreter ended (a forced unwind from taking the GIL) has no thread state
    // attached: the interpreter frees its state.
    if (state_ && PyThreadState_GetUnchecked() == state_) {
        PyThreadState_Clear(state_);
        PyThreadState_DeleteCurrent();
    }
    if (!threads_) return;
    std::lock_guard<std::mutex> lock(threads_->mutex);
    unsigned long thread = this_thread();
    auto found = threads_->entries.find(thread);
    if (found != threads_->entries.end()) found->second.own = false;
    threads_->forget_if_idle(thread);
    threads_->changed.notify_all();
}

Thread::Thread(std::function<void()> body, std::function<void()> finished) {
    std::shared_ptr<Threads> threads = threads_of_interpreter();
    if (threads->exiting || Py_IsFinalizing()) return;
    PyInterpreterState* interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
    {
        std::lock_guard<std::mutex> lock(threads->mutex);
        ++threads->starting;
    }
    try {
        thread_ = std::thread([threads, interpreter, body = std::move(body), finished = std::move(finished)] {
            struct Finally {
                const std::function<void()>& finished;
                ~Finally() {
                    if (finished) finished();
                }
            } finally{finished};
            AttachedThread thread(interpreter, threads);
            if (thread.attached()) body();
        });
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(threads->mutex);
        --threads->starting;
        threads->changed.notify_all();
    }
}

void Thread::join() {
    if (!thread_.joinable()) return;
    if (!attached()) {  // unwound by the interpreter: no GIL to let go
        thread_.join();
        return;
    }
    Detached joining;
    thread_.join();
}

}  // namespace korva::py
