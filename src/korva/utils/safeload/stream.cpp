// The payload's way into the interpreter of korva.utils.safeload: a Zstandard payload is decompressed
// in pieces into a few buffers of korva's own. The calling thread decompresses each piece and hands it
// to the interpreter while a second thread hashes the one before, so the serialized bytes are never
// held whole, a decompression bomb stops at the budget, and the hash costs no wall time of its own.
// It sits beside the literal steps (mtdump's _decompress_data and _calculate_checksum) and runs only
// when the guards below hold; on any surprise, a checksum mismatch included, the caller takes the
// literal steps, which raise what they raise.
#include "korva/utils/safeload/safeload.hpp"

#include "korva/py/attached_thread.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace korva::utils::safeload {

namespace mtdump = korva::utils::mtdump;

namespace {

// Decompressed bytes per piece: small enough to stay in the cache between the decompressor, the hash
// and the interpreter; and the buffers they take turns with.
constexpr Py_ssize_t piece_size = 1 << 18;
constexpr int buffer_count = 4;

bool is_module(nb::handle obj, const char* name) {
    nb::object module = py::loaded_module(name);
    return !module.is_none() && obj.is(module);
}

// A slot or method of a type written in C, not a function of Python's.
bool is_compiled(nb::handle method) {
    return Py_IS_TYPE(method.ptr(), &PyWrapperDescr_Type) || Py_IS_TYPE(method.ptr(), &PyMethodDescr_Type);
}

// The buffers the decompressor writes and the hasher and the interpreter read: memory of korva's own,
// which no Python code can resize or free, behind memoryviews that only compiled code of the checked
// classes is handed. The views are released at the end; should anything still hold an export of one,
// its memory is left to it for good.
class Buffers {
public:
    Buffers() {
        for (int i = 0; i < buffer_count; ++i) {
            memory_.push_back(std::make_unique<char[]>((size_t) piece_size));
            views_.push_back(nb::steal(PyMemoryView_FromMemory(memory_.back().get(), piece_size, PyBUF_WRITE)));
            if (!views_.back().is_valid()) throw nb::python_error();
        }
    }
    ~Buffers() {
        for (size_t i = 0; i < views_.size(); ++i) {
            nb::object released = nb::steal(PyObject_CallMethod(views_[i].ptr(), "release", nullptr));
            if (!released.is_valid()) {
                PyErr_Clear();
                (void) memory_[i].release();
            }
        }
    }
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    const std::vector<nb::object>& views() const { return views_; }
    const unsigned char* data(int i) const { return (const unsigned char*) memory_[(size_t) i].get(); }

private:
    std::vector<std::unique_ptr<char[]>> memory_;
    std::vector<nb::object> views_;
};

// Pieces go from the decompressing thread (the caller's) to the hashing thread in order, and their
// buffers come back. Everything in it is read and written under `mutex`, which neither thread holds
// with the GIL.
struct Pipeline {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<int, Py_ssize_t>> filled;  // buffer and length, oldest first
    std::vector<int> free;                          // buffers the decompressor may write
    bool finished = false;                          // no piece will come any more
    bool drained = false;                           // the hasher took every piece there was
    bool hasher_gone = false;                       // the hashing thread has ended (or never attached)
    std::exception_ptr failure;                     // what the hash raised, if it did
};

// The hashing thread's body, with the GIL: `update` over each piece's view until the pipeline is
// finished and drained. It gives up when the interpreter exits (its caller may have parked).
void hash_pieces(Pipeline& pipeline, nb::handle update, const std::vector<nb::object>& views) {
    py::ExitWatch watch;
    for (;;) {
        std::pair<int, Py_ssize_t> piece{-1, 0};
        {
            py::Detached waiting;
            std::unique_lock<std::mutex> lock(pipeline.mutex);
            if (!watch.wait(lock, pipeline.changed, [&] { return !pipeline.filled.empty() || pipeline.finished; }))
                return;
            if (pipeline.filled.empty()) {
                pipeline.drained = true;
            } else {
                piece = pipeline.filled.front();
                pipeline.filled.pop_front();
            }
        }  // the mutex is let go before the GIL is taken back
        if (piece.first < 0) return;
        try {
            nb::handle view = views[(size_t) piece.first];
            nb::object data = piece.second == piece_size
                                  ? nb::borrow<nb::object>(view)
                                  : nb::steal<nb::object>(PySequence_GetSlice(view.ptr(), 0, piece.second));
            if (!data.is_valid()) throw nb::python_error();
            update(data);
        } catch (nb::python_error&) {
            std::lock_guard<std::mutex> lock(pipeline.mutex);
            pipeline.failure = std::current_exception();
            return;
        }
        std::lock_guard<std::mutex> lock(pipeline.mutex);
        pipeline.free.push_back(piece.first);
        pipeline.changed.notify_all();
    }
}

// The hashing thread (one of korva's own), told to finish and joined however the caller leaves.
class Hasher {
public:
    Hasher(Pipeline& pipeline, nb::handle update, const std::vector<nb::object>& views)
        : pipeline_(pipeline),
          thread_([&pipeline, update, &views] { hash_pieces(pipeline, update, views); },
                  [&pipeline] {
                      std::lock_guard<std::mutex> lock(pipeline.mutex);
                      pipeline.hasher_gone = true;
                      pipeline.changed.notify_all();
                  }) {}
    ~Hasher() { finish(); }
    bool started() const { return thread_.started(); }
    void finish() {
        {
            std::lock_guard<std::mutex> lock(pipeline_.mutex);
            pipeline_.finished = true;
            pipeline_.changed.notify_all();
        }
        thread_.join();
    }

private:
    Pipeline& pipeline_;
    py::Thread thread_;
};

// hashlib.sha256 as hashlib made it: the OpenSSL constructor, or the built-in one without OpenSSL.
bool is_original_sha256(nb::handle sha256) {
    nb::object openssl = py::loaded_attribute("_hashlib", "openssl_sha256");
    nb::object builtin = py::loaded_attribute("_sha2", "sha256");
    return (!openssl.is_none() && sha256.is(openssl)) || (!builtin.is_none() && sha256.is(builtin));
}

// The guards: the stages in use are mtdump's own, over the real zstandard and hashlib modules, and
// the payload is plain bytes in one frame that states its decompressed size.
bool streaming_applies(const py::Call& g, const mtdump::ReadContainer& container, Py_ssize_t& content_size) {
    nb::object compression = container.info["dump"]["compression"];
    if (!PyUnicode_CheckExact(compression.ptr()) || !py::equals(compression, "zstd")) return false;
    if (!PyBytes_CheckExact(container.compressed.ptr())) return false;
    nb::object mtdump_module = py::loaded_module("korva.utils.mtdump");
    if (mtdump_module.is_none()) return false;
    nb::object globals = mtdump_module.attr("__dict__");
    if (!py::is_function(g("_decompress_data"), mtdump::_decompress_data, globals) ||
        !py::is_function(g("_calculate_checksum"), mtdump::_calculate_checksum, globals))
        return false;
    nb::dict names = nb::borrow<nb::dict>(globals);
    if (!names.contains("zstd") || !names.contains("hashlib") || !names.contains("ZSTANDARD_AVAILABLE")) return false;
    nb::object zstd = names["zstd"];
    if (!is_module(zstd, "zstandard") || !is_module(names["hashlib"], "hashlib")) return false;
    // zstandard's own one-shot decompress (a function of the package, not a replacement from elsewhere)
    nb::object one_shot = nb::getattr(zstd, "decompress", nb::none());
    if (!PyFunction_Check(one_shot.ptr()) || !nb::handle(PyFunction_GetGlobals(one_shot.ptr())).is(zstd.attr("__dict__")))
        return false;
    if (!py::truthy(names["ZSTANDARD_AVAILABLE"])) return false;
    // what zstd.decompress and hashlib.sha256 call is the packages' own compiled code, so taking the
    // frame and the hash piece by piece calls nothing that the literal steps would not
    nb::object decompressor_type = nb::getattr(zstd, "ZstdDecompressor", nb::none());
    if (!PyType_Check(decompressor_type.ptr())) return false;
    for (const char* method : {"decompress", "stream_reader"})
        if (!Py_IS_TYPE(nb::getattr(decompressor_type, method, nb::none()).ptr(), &PyMethodDescr_Type)) return false;
    if (!is_compiled(nb::getattr(decompressor_type, "__init__", nb::none()))) return false;
    if (!is_original_sha256(nb::getattr(names["hashlib"], "sha256", nb::none()))) return false;
    nb::object size = nb::getattr(zstd, "frame_content_size", nb::none());
    if (size.is_none()) return false;
    try {
        content_size = nb::cast<Py_ssize_t>(size(container.compressed));
    } catch (nb::python_error&) {
        return false;  // not a frame it can read: the literal steps say so
    } catch (nb::cast_error&) {
        return false;
    }
    return content_size >= 0;
}

// zstandard's reader over the payload, when its readinto is that compiled class's own (the class is
// mutable: a readinto put on it could release the buffers or claim more bytes than it wrote).
nb::object own_readinto(nb::handle zstd, nb::handle reader) {
    nb::object reader_type = nb::getattr(zstd, "ZstdDecompressionReader", nb::none());
    if (!reader.type().is(reader_type)) return {};
    nb::object readinto = nb::getattr(reader, "readinto", nb::none());
    return mtdump::is_own_builtin(reader, readinto, "readinto") ? readinto : nb::object();
}

}  // namespace

bool stream_into(const py::Call& g, const mtdump::ReadContainer& container, nb::handle checksum,
                 Interpreter& interpreter, long long max_bytes) {
    Py_ssize_t content_size = 0;
    if (!streaming_applies(g, container, content_size)) return false;
    // the frame says how long the stream is: a bomb is refused before a byte of it is made (the
    // interpreter refuses a stream that claims more than its budget before reading any of it)
    if (content_size > max_bytes) {
        interpreter.feed(nullptr, (size_t) content_size);
        return true;
    }
    nb::object names = py::loaded_module("korva.utils.mtdump").attr("__dict__");
    Pipeline pipeline;
    Buffers buffers;
    for (int i = 0; i < buffer_count; ++i) pipeline.free.push_back(i);
    Py_ssize_t total = 0;
    nb::object hash;
    try {
        // zstd.decompress reads the first frame and ignores what follows it; so does a stream reader
        nb::object zstd = names["zstd"];
        nb::object reader = zstd.attr("ZstdDecompressor")().attr("stream_reader")(container.compressed);
        nb::object readinto = own_readinto(zstd, reader);
        if (!readinto.is_valid()) return false;
        hash = names["hashlib"].attr("sha256")();
        nb::object update = hash.attr("update");
        Hasher hasher(pipeline, update, buffers.views());
        if (!hasher.started()) return false;
        for (;;) {
            int index = -1;
            {
                py::Detached waiting;
                std::unique_lock<std::mutex> lock(pipeline.mutex);
                pipeline.changed.wait(lock, [&] { return !pipeline.free.empty() || pipeline.hasher_gone; });
                if (!pipeline.hasher_gone) {
                    index = pipeline.free.back();
                    pipeline.free.pop_back();
                }
            }
            if (index < 0) break;
            nb::object got = readinto(buffers.views()[(size_t) index]);
            if (!PyLong_CheckExact(got.ptr())) return false;
            Py_ssize_t produced = PyLong_AsSsize_t(got.ptr());
            if (produced == -1 && PyErr_Occurred()) throw nb::python_error();
            if (produced < 0 || produced > piece_size) return false;
            if (produced == 0) break;
            total += produced;
            if (total > content_size) return false;
            // read here while the hasher reads it too; neither writes it until it is free again
            if (interpreter.reading()) interpreter.feed(buffers.data(index), (size_t) produced);
            std::lock_guard<std::mutex> lock(pipeline.mutex);
            pipeline.filled.emplace_back(index, produced);
            pipeline.changed.notify_all();
        }
        hasher.finish();
        if (pipeline.failure) std::rethrow_exception(pipeline.failure);
        if (!pipeline.drained || total != content_size) return false;
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;  // damaged data, a replaced part: the literal steps raise their own error
    }
    nb::object checksum_to_verify =
        py::truthy(checksum) ? nb::borrow(checksum) : nb::object(container.info["dump"]["checksum"]);
    return !py::compare(hash.attr("hexdigest")(), checksum_to_verify, Py_NE);
}

}  // namespace korva::utils::safeload
