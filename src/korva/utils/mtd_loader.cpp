// korva.utils.mtd_loader: a reduced, pickle-only reader of MTD containers with its own namespace,
// constants and exception classes; its reading steps are those of korva.utils.mtdump's reader.
#include "korva/utils/mtdump.hpp"

namespace korva::utils::mtd_loader {

namespace mtdump = korva::utils::mtdump;

// The decryption steps without an availability test: cryptography is imported unconditionally.
nb::object _decrypt_data(const py::Call& g) { return mtdump::decrypt_payload(g, g[0], g[1]); }

// Decompression without an availability test: zstandard is imported unconditionally.
nb::object _decompress_data(const py::Call& g) { return mtdump::decompress_payload(g, g[0], g[1], false); }

nb::object _deserialize_obj(const py::Call& g) {
    nb::handle data = g[0], serializer = g[1];
    if (py::equals(serializer, "pickle")) return g("pickle").attr("loads")(data);
    nb::object type = g("ValueError");
    py::raise(type, py::f_string("Unsupported serializer: ", serializer, ". This loader only supports 'pickle'."));
}

nb::object load_dump(const py::Call& g) {
    nb::handle path = g[0], passphrase = g[1], checksum = g[2], storage_options = g[3];
    return mtdump::read_dump(g, path, passphrase, checksum, storage_options).obj;
}

void body(const ModuleBody& m) {
    m.import("base64");
    m.import("hashlib");
    m.import("json");
    m.import("os");
    m.import("pickle");
    m.import("struct");
    m.import("io");
    m.import_from("urllib.request", {"urlopen", "Request"});
    m.import_from("pathlib", {"Path"});
    m.import_from("typing", {"Any", "Dict", "Optional", "Union"});
    m.import_from("cryptography.hazmat.primitives.ciphers", {"Cipher", "algorithms", "modes"});
    m.import_from("cryptography.hazmat.primitives", {"padding"});
    m.import_from("cryptography.hazmat.backends", {"default_backend"});
    m.import("zstandard", "zstd");

    mtdump::bind_container_constants(m);
    mtdump::define_exception_classes(m);

    nb::object none = nb::none();
    nb::object bytes = m("bytes");
    nb::object str = m("str");
    nb::object passphrase_type = py::sub(m("Union"), {none, str, bytes});
    m.def({"_prepare_key", mtdump::_prepare_key, {{"passphrase", passphrase_type}},
           py::sub(m("Optional"), {bytes})});
    m.def({"_decrypt_data", _decrypt_data, {{"data", bytes}, {"key", bytes}}, bytes});
    m.def({"_decompress_data", _decompress_data, {{"data", bytes}, {"compression", py::sub(m("Optional"), {str})}},
           bytes});
    m.def({"_deserialize_obj", _deserialize_obj, {{"data", bytes}, {"serializer", str}}, m("Any")});
    m.def({"_calculate_checksum", mtdump::_calculate_checksum, {{"data", bytes}}, str});
    m.def({"load_dump",
           load_dump,
           {{"path", py::sub(m("Union"), {str, m("Path")})},
            {"passphrase", py::sub(m("Union"), {none, str, bytes}), none},
            {"checksum", py::sub(m("Optional"), {str}), none},
            {"storage_options", py::sub(m("Optional"), {py::sub(m("Dict"), {str, str})}), none}},
           m("Any")});
}

}  // namespace korva::utils::mtd_loader
