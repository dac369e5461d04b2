// The streaming path of scan_dump: a Zstandard payload is decompressed in pieces that are hashed and
// scanned as they come, so the serialized bytes are never held whole (it is the decompression into
// one large new buffer and the hash over it that cost the time). It sits beside the literal steps
// (mtdump's _decompress_data and _calculate_checksum) and runs only when the guards below hold; on any
// surprise, a checksum mismatch included, the literal steps run and raise what they raise.
#include "korva/utils/safeload/safeload.hpp"

namespace korva::utils::safeload {

namespace mtdump = korva::utils::mtdump;

namespace {

// Compressed bytes handed to the decompressor at a time: its output stays in the cache.
constexpr Py_ssize_t piece_size = 1 << 17;

bool is_module(nb::handle obj, const char* name) {
    nb::object module = py::loaded_module(name);
    return !module.is_none() && obj.is(module);
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

}  // namespace

bool stream_verify_scan(const py::Call& g, const mtdump::ReadContainer& container, nb::handle checksum, Scan& scan) {
    Py_ssize_t content_size = 0;
    if (!streaming_applies(g, container, content_size)) return false;
    nb::object names = py::loaded_module("korva.utils.mtdump").attr("__dict__");
    nb::object decompressor = names["zstd"].attr("ZstdDecompressor")().attr("decompressobj")();
    nb::object hash = names["hashlib"].attr("sha256")();
    nb::object decompress = decompressor.attr("decompress"), update = hash.attr("update");

    Scanner scanner;
    Py_ssize_t total = 0;
    const char* data = PyBytes_AS_STRING(container.compressed.ptr());
    Py_ssize_t size = PyBytes_GET_SIZE(container.compressed.ptr());
    try {
        for (Py_ssize_t offset = 0; offset < size; offset += piece_size) {
            // a read-only window onto the payload, which `container` keeps alive past the loop
            nb::object piece = nb::steal(PyMemoryView_FromMemory(const_cast<char*>(data + offset),
                                                                 std::min(piece_size, size - offset), PyBUF_READ));
            if (!piece.is_valid()) throw nb::python_error();
            nb::object out = decompress(piece);
            if (!PyBytes_CheckExact(out.ptr())) return false;
            Py_ssize_t produced = PyBytes_GET_SIZE(out.ptr());
            if (produced == 0) continue;
            total += produced;
            if (total > content_size) return false;
            update(out);
            scanner.feed((const unsigned char*) PyBytes_AS_STRING(out.ptr()), (size_t) produced);
        }
        if (total != content_size || !py::truthy(decompressor.attr("eof")) ||
            nb::len(nb::object(decompressor.attr("unused_data"))) != 0)
            return false;
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;  // damaged data: the literal steps raise their own error
    }
    nb::object checksum_to_verify =
        py::truthy(checksum) ? nb::borrow(checksum) : nb::object(container.info["dump"]["checksum"]);
    if (py::compare(hash.attr("hexdigest")(), checksum_to_verify, Py_NE)) return false;
    scan = scanner.finish();
    return true;
}

}  // namespace korva::utils::safeload
