// Threads for the chunks of a batch. Each worker is a thread of korva's own that holds the GIL
// while it runs korva's steps and gives it up wherever numpy and the models' predict do, which is
// where the time goes; the chunks are independent, so what a chunk gives never depends on the thread.
// Nothing here is process-wide: what concurrent calls share (the BLAS limits) is the interpreter's.
#include "korva/curve/batch/workers.hpp"

#include "korva/py/attached_thread.hpp"
#include "korva/py/interpreter.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace korva::curve::batch {

using namespace nb::literals;

Py_ssize_t threads_for(nb::handle n_jobs) {
    if (n_jobs.is_none()) return 1;
    if (!PyLong_Check(n_jobs.ptr()) || PyBool_Check(n_jobs.ptr())) {
        PyErr_Format(PyExc_TypeError, "n_jobs must be an int or None, not %.200s", Py_TYPE(n_jobs.ptr())->tp_name);
        throw nb::python_error();
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(n_jobs.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) return PY_SSIZE_T_MAX;
    if (overflow == 0 && value == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "n_jobs must not be 0: None or 1 predicts on one thread, k on k threads, -1 on every core");
        throw nb::python_error();
    }
    if (overflow == 0 && value > 0) return (Py_ssize_t) std::min<long long>(value, PY_SSIZE_T_MAX);

    // Negative: every core less (-n_jobs - 1), as joblib reads it (also inside its parallel_config).
    nb::object effective;
    try {
        effective = py::import_from("joblib", "effective_n_jobs")(n_jobs);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        nb::object cpus = py::import("os").attr("process_cpu_count")();
        long long count = cpus.is_none() ? 1 : PyLong_AsLongLong(cpus.ptr());
        if (count == -1 && PyErr_Occurred()) throw nb::python_error();
        if (overflow < 0) return 1;
        return (Py_ssize_t) std::max<long long>(1, count + 1 + value);
    }
    long long threads = PyLong_Check(effective.ptr()) ? PyLong_AsLongLong(effective.ptr()) : 1;
    if (threads == -1 && PyErr_Occurred()) PyErr_Clear();
    return (Py_ssize_t) std::max<long long>(1, threads);
}

void refuse_threads_for_dask(Py_ssize_t threads) {
    if (threads == 1) return;
    PyErr_SetString(PyExc_ValueError,
                    "n_jobs is not available for a dask DataFrame: dask's scheduler decides how many partitions "
                    "are predicted at once (leave n_jobs=None)");
    throw nb::python_error();
}

namespace {

class BlasOneThread;

// The calls of one interpreter that hold BLAS at one thread. Read and written under the GIL;
// `changes` also under `mutex`, for a call that waits without the GIL.
struct BlasHold {
    std::vector<BlasOneThread*> holders;
    BlasOneThread* owner = nullptr;   // the call whose thread entered `limiter` (or is entering it)
    nb::object limiter;               // threadpoolctl's limiter
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long long changes = 0;   // a limiter was entered, or a holder left

    void bump() {
        std::lock_guard<std::mutex> lock(mutex);
        ++changes;
        changed.notify_all();
    }
};

// BLAS at one thread while korva's threads run. threadpoolctl lets one live thread at a time control
// OpenBLAS (a pthreads build has one pool for the process) and counts per thread the limiters
// entered as context managers, so a limiter is entered and left on the thread of the call that
// holds it. The first call in enters one. When the call that entered it leaves while others run on,
// it leaves its limiter (which restores the limits it found and frees OpenBLAS for another thread)
// and wakes the others: one of them enters a limiter of its own before that call returns. The last
// one out restores the limits in force before the first came in. Without threadpoolctl, nothing.
class BlasOneThread {
public:
    // `wake` is called with the GIL, from another thread, when this call is to enter a limiter: it
    // must make this call's thread run keep() soon.
    explicit BlasOneThread(std::function<void()> wake)
        : hold_(py::interpreter_object<BlasHold>("korva.blas")), wake_(std::move(wake)) {
        if (!hold_->owner) enter();
        hold_->holders.push_back(this);
    }

    // On this call's thread, with the GIL: enters a limiter when no call holds one.
    void keep() {
        if (!hold_->owner) {
            try {
                enter();
            } catch (nb::python_error& error) {
                error.discard_as_unraisable("korva holding BLAS at one thread");
            }
        }
        hold_->bump();  // also after a failure: the call that left stops waiting
    }

    ~BlasOneThread() {
        if (!py::attached()) return;  // the interpreter is ending this thread: BLAS is its least worry
        std::erase(hold_->holders, this);
        bool owned = hold_->owner == this;
        if (owned) leave_limiter();
        if (owned && !hold_->holders.empty())
            hand_over();
        else
            hold_->bump();  // a call waiting for another to take over looks again
    }

    BlasOneThread(const BlasOneThread&) = delete;
    BlasOneThread& operator=(const BlasOneThread&) = delete;

private:
    void enter() {
        hold_->owner = this;  // before any Python code runs: a call that comes in meanwhile finds it held
        try {
            nb::object limits;
            try {
                limits = py::import_from("threadpoolctl", "threadpool_limits");
            } catch (nb::python_error& error) {
                if (!error.matches(PyExc_ImportError)) throw;
                hold_->owner = nullptr;  // no threadpoolctl: BLAS keeps its threads
                return;
            }
            nb::object limiter = limits("limits"_a = 1, "user_api"_a = "blas");
            limiter.attr("__enter__")();
            hold_->limiter = limiter;
        } catch (...) {
            hold_->owner = nullptr;
            throw;
        }
        hold_->bump();
    }

    // `limiter.__exit__(None, None, None)` for the limiter this call entered, which must not mask an
    // exception on its way out of the call. The limits stay this call's until they are restored: a
    // call that comes in meanwhile is handed them over rather than find them at one thread.
    void leave_limiter() {
        nb::object limiter = std::exchange(hold_->limiter, nb::object());
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* result = PyObject_CallMethod(limiter.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None);
        if (result)
            Py_DECREF(result);
        else
            PyErr_WriteUnraisable(limiter.ptr());
        PyErr_SetRaisedException(pending);
        hold_->owner = nullptr;
    }

    // The other calls still hold BLAS: one of them enters a limiter of its own (or leaves) before
    // this one returns. Each does so from its wait for its workers, which wake_ interrupts.
    void hand_over() {
        unsigned long long seen;
        {
            std::lock_guard<std::mutex> lock(hold_->mutex);
            seen = hold_->changes;
        }
        for (BlasOneThread* other : hold_->holders) other->wake_();
        py::Detached waiting;
        std::unique_lock<std::mutex> lock(hold_->mutex);
        hold_->changed.wait(lock, [&] { return hold_->changes != seen; });
    }  // the mutex is let go before the GIL is taken back

    std::shared_ptr<BlasHold> hold_;
    std::function<void()> wake_;
};

// What the threads share. `next`, `stop` and `failures` are read and written under the GIL only;
// `running` and `blas_vacant` under the mutex, which the waiting thread holds without the GIL.
struct Pool {
    explicit Pool(Py_ssize_t count) : stop(count), failures((size_t) count) {}

    Py_ssize_t next = 0;
    Py_ssize_t stop;  // no chunk from here on starts
    std::vector<std::exception_ptr> failures;

    std::mutex mutex;
    std::condition_variable idle;
    Py_ssize_t running = 0;
    bool blas_vacant = false;  // the waiting thread is to enter a BLAS limiter

    void wake_for_blas() {
        std::lock_guard<std::mutex> lock(mutex);
        blas_vacant = true;
        idle.notify_all();
    }
    void worker_done() {
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        idle.notify_all();
    }
};

// Takes chunks until none is left. Runs with the GIL held. An interpreter that ends this thread
// unwinds it (abi::__forced_unwind), which must go on; one that is exiting stops it here.
void take_chunks(Pool& pool, const std::function<void(Py_ssize_t)>& task) {
    while (pool.next < pool.stop) {
        Py_ssize_t chunk = pool.next;
        try {
            py::checkpoint();
            ++pool.next;
            task(chunk);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (const py::Stopping&) {
            pool.stop = std::min(pool.stop, pool.next);
            return;
        } catch (...) {
            pool.failures[(size_t) chunk] = std::current_exception();
            pool.stop = std::min(pool.stop, chunk + 1);
        }
    }
}

// The chunks on up to `threads` threads of korva's own while this thread waits; a KeyboardInterrupt
// (or other signal exception) received meanwhile is returned once they are done.
nb::object run_on_threads(Pool& pool, Py_ssize_t threads, const std::function<void(Py_ssize_t)>& task) {
    BlasOneThread blas([&pool] { pool.wake_for_blas(); });
    std::vector<std::unique_ptr<py::Thread>> workers;  // joined when they go, before the BLAS limits
    for (Py_ssize_t i = 0; i < threads; ++i) {
        {
            std::lock_guard<std::mutex> lock(pool.mutex);
            ++pool.running;
        }
        auto worker = std::make_unique<py::Thread>([&pool, &task] { take_chunks(pool, task); },
                                                   [&pool] { pool.worker_done(); });
        if (!worker->started()) {
            pool.worker_done();  // fewer threads; the chunks left over run on the caller
            break;
        }
        workers.push_back(std::move(worker));
    }
    // Wait for the workers; look for a KeyboardInterrupt now and then, which stops new chunks.
    nb::object interrupt;
    for (;;) {
        bool idle, vacant;
        {
            py::Detached waiting;
            std::unique_lock<std::mutex> lock(pool.mutex);
            pool.idle.wait_for(lock, std::chrono::milliseconds(100),
                               [&] { return pool.running == 0 || pool.blas_vacant; });
            idle = pool.running == 0;
            vacant = std::exchange(pool.blas_vacant, false);
        }  // the mutex is let go before the GIL is taken back
        if (vacant) blas.keep();
        if (idle) break;
        if (!interrupt.is_valid() && PyErr_CheckSignals() < 0) {
            interrupt = nb::steal(PyErr_GetRaisedException());
            pool.stop = std::min(pool.stop, pool.next);
        }
    }
    return interrupt;
}

}  // namespace

void run_chunks(Py_ssize_t count, Py_ssize_t threads, const std::function<void(Py_ssize_t)>& task) {
    Pool pool(count);
    if (std::min(threads, count) > 1) {
        nb::object interrupt = run_on_threads(pool, std::min(threads, count), task);
        if (interrupt.is_valid()) {
            PyErr_SetRaisedException(interrupt.release().ptr());
            throw nb::python_error();
        }
    }
    take_chunks(pool, task);  // every chunk on one thread, or those no thread could be started for
    for (const std::exception_ptr& failure : pool.failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace korva::curve::batch
