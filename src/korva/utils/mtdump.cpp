// korva.utils.mtdump: the module body of the MTD dump container (imports, availability flags,
// constants, exception classes, then the stage functions and the public writer and reader).
#include "korva/utils/mtdump.hpp"

namespace korva::utils::mtdump {

void body(const ModuleBody& m) {
    m.import("base64");
    m.import("datetime");
    m.import("hashlib");
    m.import("importlib");
    m.import("json");
    m.import("os");
    m.import("pickle");
    m.import("struct");
    m.import("sys");
    m.import("io");
    m.import("importlib.metadata");
    m.import_from("urllib.request", {"urlopen", "Request"});
    m.import_from("pathlib", {"Path"});
    m.import_from("typing", {"Any", "Dict", "Literal", "Optional", "Union"});

    // Optional packages: each block records whether its imports succeeded.
    guarded_import(m, "CRYPTOGRAPHY_AVAILABLE", [&] {
        m.import_from("cryptography.hazmat.primitives.ciphers", {"Cipher", "algorithms", "modes"});
        m.import_from("cryptography.hazmat.primitives", {"padding"});
        m.import_from("cryptography.hazmat.backends", {"default_backend"});
    });
    guarded_import(m, "ZSTANDARD_AVAILABLE", [&] { m.import("zstandard", "zstd"); });
    guarded_import(m, "DILL_AVAILABLE", [&] { m.import("dill"); });

    bind_container_constants(m);
    define_exception_classes(m);

    // The functions, with their annotations built from the module's own typing names.
    nb::object none = nb::none();
    nb::object bytes = m("bytes");
    nb::object str = m("str");
    nb::object int_ = m("int");
    nb::object any = m("Any");
    nb::object path_type = py::sub(m("Union"), {str, m("Path")});
    nb::object serializer_type = py::sub(m("Literal"), {py::s("pickle"), py::s("dill")});
    nb::object snapshot_type = py::sub(m("Dict"), {str, py::sub(m("Optional"), {str})});

    m.def({"_get_environment_info", _get_environment_info, {}, snapshot_type});
    m.def({"_get_loaded_modules_info", _get_loaded_modules_info, {}, snapshot_type});
    m.def({"_generate_key", _generate_key, {}, bytes});
    m.def({"_prepare_key", _prepare_key, {{"passphrase", py::sub(m("Union"), {none, str, bytes})}},
           py::sub(m("Optional"), {bytes})});
    m.def({"_encrypt_data", _encrypt_data, {{"data", bytes}, {"key", bytes}}, bytes});
    m.def({"_decrypt_data", _decrypt_data, {{"data", bytes}, {"key", bytes}}, bytes});
    m.def({"_compress_data", _compress_data, {{"data", bytes}, {"compression", py::sub(m("Optional"), {str})}},
           bytes});
    m.def({"_decompress_data", _decompress_data,
           {{"data", bytes}, {"compression", py::sub(m("Optional"), {str})}}, bytes});
    m.def({"_serialize_obj", _serialize_obj, {{"obj", any}, {"serializer", serializer_type}, {"protocol", int_}},
           bytes});
    m.def({"_deserialize_obj", _deserialize_obj, {{"data", bytes}, {"serializer", serializer_type}}, any});
    m.def({"_calculate_checksum", _calculate_checksum, {{"data", bytes}}, str});
    m.def({"save_dump",
           save_dump,
           {{"obj", any},
            {"path", path_type},
            {"compression", py::sub(m("Optional"), {py::sub(m("Literal"), {py::s("zstd")})}), py::s("zstd")},
            {"protocol", int_, nb::int_(5)},
            {"serializer", serializer_type, py::s("pickle")},
            {"passphrase", py::sub(m("Union"), {none, str, bytes, py::sub(m("Literal"), {py::s("auto")})}), none},
            {"meta", py::sub(m("Optional"), {py::sub(m("Dict"), {str, any})}), none}},
           py::sub(m("Dict"), {str, py::sub(m("Union"), {str, m("Path")})})});
    m.def({"load_dump",
           load_dump,
           {{"path", path_type},
            {"passphrase", py::sub(m("Union"), {none, str, bytes}), none},
            {"checksum", py::sub(m("Optional"), {str}), none},
            {"return_info", m("bool"), nb::bool_(false)},
            {"storage_options", py::sub(m("Optional"), {py::sub(m("Dict"), {str, str})}), none}},
           py::sub(m("Union"), {any, py::sub(m("tuple"), {any, m("dict")})})});
}

}  // namespace korva::utils::mtdump
