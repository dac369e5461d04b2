// save_dump: one object into an MTD container file. Key, serialization, checksum, compression and
// encryption happen in memory first; the file is opened only for the five writes of the layout.
#include "korva/utils/mtdump.hpp"

namespace korva::utils::mtdump {

using namespace nb::literals;

namespace {

// base64.b64encode(key).decode('ascii')
nb::object passphrase_text(const py::Call& g, nb::handle key) {
    return g("base64").attr("b64encode")(key).attr("decode")("ascii");
}

// struct.pack(fmt, len(data)), with `fmt` a module constant.
nb::object packed_length(const py::Call& g, const char* format_name, nb::handle data) {
    nb::object pack = g("struct").attr("pack");
    nb::object format = g(format_name);
    nb::object length = g("len")(data);
    return pack(format, length);
}

}  // namespace

nb::object save_dump(const py::Call& g) {
    nb::handle obj = g[0], path = g[1], compression = g[2], protocol = g[3], serializer = g[4],
               passphrase = g[5], meta = g[6];

    // 1. The key, and its Base64 text for the caller.
    nb::object key, passphrase_b64 = nb::none();
    if (py::equals(passphrase, "auto")) {
        key = g("_generate_key")();
        passphrase_b64 = passphrase_text(g, key);
    } else {
        key = g("_prepare_key")(passphrase);
        if (py::truthy(key)) passphrase_b64 = passphrase_text(g, key);
    }

    // 2.-5. The payload stages; the checksum covers the serialized bytes.
    nb::object serialized_data = g("_serialize_obj")(obj, serializer, protocol);
    nb::object checksum = g("_calculate_checksum")(serialized_data);
    nb::object compressed_data = g("_compress_data")(serialized_data, compression);
    serialized_data.reset();  // no longer needed: its memory goes before encryption needs more
    nb::object encrypted_data;
    bool is_encrypted;
    if (py::truthy(key)) {
        encrypted_data = g("_encrypt_data")(compressed_data, key);
        is_encrypted = true;
    } else {
        encrypted_data = compressed_data;
        is_encrypted = false;
    }
    compressed_data.reset();

    // 6. The dump info, evaluated and inserted in order.
    nb::dict info;
    info["version"] = nb::int_(1);
    info["environment"] = g("_get_environment_info")();
    info["modules"] = g("_get_loaded_modules_info")();
    nb::dict dump;
    dump["checksum"] = checksum;
    dump["compression"] = compression;
    dump["encrypted"] = nb::bool_(is_encrypted);
    dump["serializer"] = serializer;
    nb::object now = g("datetime").attr("datetime").attr("now");
    dump["created_on"] = now(g("datetime").attr("timezone").attr("utc")).attr("isoformat")();
    info["dump"] = dump;
    info["meta"] = py::truthy(meta) ? nb::borrow(meta) : nb::object(nb::dict());

    // 7. JSON text, indented by two spaces, as UTF-8 (pure ASCII: non-ASCII is escaped).
    nb::object info_json_bytes = g("json").attr("dumps")(info, "indent"_a = 2).attr("encode")("utf-8");

    // 8. The file: magic, info length, info, payload length, payload.
    nb::object file = g("open")(path, "wb");
    py::with(file, [&](nb::handle f) {
        f.attr("write")(g("MAGIC_NUMBER"));
        f.attr("write")(packed_length(g, "INFO_LEN_FORMAT", info_json_bytes));
        f.attr("write")(info_json_bytes);
        f.attr("write")(packed_length(g, "PAYLOAD_LEN_FORMAT", encrypted_data));
        f.attr("write")(encrypted_data);
    });

    // 9. What the caller needs to load it again.
    nb::dict result;
    result["path"] = path;
    result["checksum"] = checksum;
    if (py::truthy(passphrase_b64)) result["passphrase"] = passphrase_b64;
    return result;
}

}  // namespace korva::utils::mtdump
