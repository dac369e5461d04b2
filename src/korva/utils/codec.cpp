// The payload codec of korva.utils.mtdump: serialization (pickle or dill), Zstandard compression
// and the SHA-256 checksum of the serialized bytes. decompress_payload and _calculate_checksum
// serve korva.utils.mtd_loader too.
#include "korva/utils/mtdump.hpp"

namespace korva::utils::mtdump {

using namespace nb::literals;

namespace {

// ValueError(f"Unknown compression algorithm: {compression}")
[[noreturn]] void raise_unknown_compression(const py::Call& g, nb::handle compression) {
    nb::object type = g("ValueError");
    py::raise(type, py::f_string("Unknown compression algorithm: ", compression));
}

// ValueError(f"Unknown serializer: {serializer}")
[[noreturn]] void raise_unknown_serializer(const py::Call& g, nb::handle serializer) {
    nb::object type = g("ValueError");
    py::raise(type, py::f_string("Unknown serializer: ", serializer));
}

}  // namespace

nb::object _compress_data(const py::Call& g) {
    nb::handle data = g[0], compression = g[1];
    if (compression.is_none()) return nb::borrow(data);
    if (py::equals(compression, "zstd")) {
        if (!py::truthy(g("ZSTANDARD_AVAILABLE"))) raise_not_installed(g, "zstandard");
        return g("zstd").attr("compress")(data);
    }
    raise_unknown_compression(g, compression);
}

nb::object decompress_payload(const py::Call& g, nb::handle data, nb::handle compression, bool test_available) {
    if (compression.is_none()) return nb::borrow(data);
    if (py::equals(compression, "zstd")) {
        if (test_available && !py::truthy(g("ZSTANDARD_AVAILABLE"))) raise_not_installed(g, "zstandard");
        return g("zstd").attr("decompress")(data);
    }
    raise_unknown_compression(g, compression);
}

nb::object _decompress_data(const py::Call& g) { return decompress_payload(g, g[0], g[1], true); }

nb::object _serialize_obj(const py::Call& g) {
    nb::handle obj = g[0], serializer = g[1], protocol = g[2];
    if (py::equals(serializer, "pickle")) return g("pickle").attr("dumps")(obj, "protocol"_a = protocol);
    if (py::equals(serializer, "dill")) {
        if (!py::truthy(g("DILL_AVAILABLE"))) raise_not_installed(g, "dill");
        return g("dill").attr("dumps")(obj, "protocol"_a = protocol);
    }
    raise_unknown_serializer(g, serializer);
}

nb::object _deserialize_obj(const py::Call& g) {
    nb::handle data = g[0], serializer = g[1];
    if (py::equals(serializer, "pickle")) return g("pickle").attr("loads")(data);
    if (py::equals(serializer, "dill")) {
        if (!py::truthy(g("DILL_AVAILABLE"))) raise_not_installed(g, "dill");
        return g("dill").attr("loads")(data);
    }
    raise_unknown_serializer(g, serializer);
}

nb::object _calculate_checksum(const py::Call& g) {
    return g("hashlib").attr("sha256")(g[0]).attr("hexdigest")();
}

}  // namespace korva::utils::mtdump
