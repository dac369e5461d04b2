// Threads for the chunks of a batch. Each worker is a thread of the interpreter that holds the GIL
// while it runs korva's steps and gives it up wherever numpy and the models' predict do, which is
// where the time goes; the chunks are independent, so what a chunk gives never depends on the thread.
#include "korva/curve/batch/workers.hpp"

#include "korva/py/attached_thread.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
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

// The BLAS limits are the process's, so is the count of the calls that need them held: the first
// call in sets them, the last one out restores what it found. Both are read and written under the GIL.
Py_ssize_t blas_holders = 0;
PyObject* blas_limiter = nullptr;  // threadpoolctl's limiter of the first call in, while held

}  // namespace

BlasOneThread::BlasOneThread() {
    holding_ = true;
    if (blas_holders++ > 0) return;  // another call holds the limits already
    try {
        nb::object limits = py::import_from("threadpoolctl", "threadpool_limits");
        blas_limiter = limits("limits"_a = 1, "user_api"_a = "blas").release().ptr();
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_ImportError)) return;  // no threadpoolctl: BLAS keeps its threads
        --blas_holders;
        holding_ = false;
        throw;
    }
}

BlasOneThread::~BlasOneThread() {
    if (!holding_ || --blas_holders > 0 || !blas_limiter) return;
    PyObject* limiter = std::exchange(blas_limiter, nullptr);
    // Restoring must not mask an exception on its way out of the call.
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* result = PyObject_CallMethod(limiter, "restore_original_limits", nullptr);
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(limiter);
    Py_DECREF(limiter);
    PyErr_SetRaisedException(pending);
}

namespace {

// What the threads share. `next`, `stop` and `failures` are read and written under the GIL only;
// `running` under the mutex, which the waiting thread holds without the GIL.
struct Pool {
    explicit Pool(Py_ssize_t count) : stop(count), failures((size_t) count) {}

    Py_ssize_t next = 0;
    Py_ssize_t stop;  // no chunk from here on starts
    std::vector<std::exception_ptr> failures;

    std::mutex mutex;
    std::condition_variable idle;
    Py_ssize_t running = 0;
};

// Takes chunks until none is left. Runs with the GIL held.
void take_chunks(Pool& pool, const std::function<void(Py_ssize_t)>& task) {
    while (pool.next < pool.stop) {
        Py_ssize_t chunk = pool.next++;
        try {
            task(chunk);
        } catch (...) {
            pool.failures[(size_t) chunk] = std::current_exception();
            pool.stop = std::min(pool.stop, chunk + 1);
        }
    }
}

void worker(PyInterpreterState* interpreter, Pool& pool, const std::function<void(Py_ssize_t)>& task) {
    {
        py::AttachedThread thread(interpreter);
        if (thread.attached()) take_chunks(pool, task);
    }
    std::lock_guard<std::mutex> lock(pool.mutex);
    --pool.running;
    pool.idle.notify_all();
}

// The workers joined before the pool and the task they use go, however the waiting ends.
class Workers {
public:
    ~Workers() {
        Py_BEGIN_ALLOW_THREADS
        for (std::thread& thread : threads_) thread.join();
        Py_END_ALLOW_THREADS
    }
    std::vector<std::thread>& threads() { return threads_; }

private:
    std::vector<std::thread> threads_;
};

}  // namespace

void run_chunks(Py_ssize_t count, Py_ssize_t threads, const std::function<void(Py_ssize_t)>& task) {
    threads = std::min(threads, count);
    // a thread that first takes the GIL while the interpreter shuts down is ended there, unheard
    if (threads <= 1 || Py_IsFinalizing()) {
        for (Py_ssize_t chunk = 0; chunk < count; ++chunk) task(chunk);
        return;
    }

    Pool pool(count);
    PyInterpreterState* interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
    nb::object interrupt;
    {
        Workers workers;
        for (Py_ssize_t i = 0; i < threads; ++i) {
            {
                std::lock_guard<std::mutex> lock(pool.mutex);
                ++pool.running;
            }
            try {
                workers.threads().emplace_back(worker, interpreter, std::ref(pool), std::cref(task));
            } catch (const std::system_error&) {
                std::lock_guard<std::mutex> lock(pool.mutex);
                --pool.running;  // fewer threads; the chunks left over run here below
                break;
            }
        }
        // Wait for the workers; look for a KeyboardInterrupt now and then, which stops new chunks.
        for (bool idle = false; !idle;) {
            Py_BEGIN_ALLOW_THREADS
            {
                std::unique_lock<std::mutex> lock(pool.mutex);
                idle = pool.idle.wait_for(lock, std::chrono::milliseconds(100), [&] { return pool.running == 0; });
            }  // the mutex is let go before the GIL is taken back
            Py_END_ALLOW_THREADS
            if (!idle && !interrupt.is_valid() && PyErr_CheckSignals() < 0) {
                interrupt = nb::steal(PyErr_GetRaisedException());
                pool.stop = std::min(pool.stop, pool.next);
            }
        }
    }
    if (interrupt.is_valid()) {
        PyErr_SetRaisedException(interrupt.release().ptr());
        throw nb::python_error();
    }
    take_chunks(pool, task);  // what no thread could be started for
    for (const std::exception_ptr& failure : pool.failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace korva::curve::batch
