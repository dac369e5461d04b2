// Shared pieces of the MTD dump container modules (korva.utils.mtdump and korva.utils.mtd_loader):
// the container frame, and the stage code both modules run. Every stage reads the names it uses
// through the `g` of the function that is running, so each module's own helpers, constants and
// exception classes are the ones used.
#pragma once

#include "korva/module_body.hpp"

namespace korva::utils::mtdump {

// MAGIC_NUMBER, INFO_LEN_FORMAT, PAYLOAD_LEN_FORMAT, AES_KEY_SIZE, IV_SIZE, in this order.
void bind_container_constants(const ModuleBody& m);

// MTDError(Exception) and its subclasses MTDFormatError, MTDChecksumError, MTDDecryptionError.
void define_exception_classes(const ModuleBody& m);

// ImportError("<package> is not installed. Please install it with 'pip install <package>'").
[[noreturn]] void raise_not_installed(const py::Call& g, const char* package);

// ---- key handling (keys.cpp) ----------------------------------------------------------------
nb::object _generate_key(const py::Call& g);
nb::object _prepare_key(const py::Call& g);  // identical in both modules

// ---- encryption (cipher.cpp) ----------------------------------------------------------------
// Whether `obj.<name>` resolves to the built-in method that the type of `obj` itself defines, bound
// to `obj`: a function put on the class, or on the instance, in its place is somebody else's code.
bool is_own_builtin(nb::handle obj, nb::handle method, const char* name);

nb::object _encrypt_data(const py::Call& g);
nb::object _decrypt_data(const py::Call& g);
// The decryption steps after the availability test: length test, IV split, cipher, guarded
// decryption and unpadding.
nb::object decrypt_payload(const py::Call& g, nb::handle data, nb::handle key);

// ---- serialization, compression, checksum (codec.cpp) -----------------------------------------
nb::object _compress_data(const py::Call& g);
nb::object _decompress_data(const py::Call& g);
// `None` returns the data itself, "zstd" decompresses (after testing ZSTANDARD_AVAILABLE when
// `test_available`), anything else is an unknown algorithm.
nb::object decompress_payload(const py::Call& g, nb::handle data, nb::handle compression, bool test_available);
nb::object _serialize_obj(const py::Call& g);
nb::object _deserialize_obj(const py::Call& g);
nb::object _calculate_checksum(const py::Call& g);  // identical in both modules

// ---- environment snapshots (environment.cpp) -----------------------------------------------
nb::object _get_environment_info(const py::Call& g);
nb::object _get_loaded_modules_info(const py::Call& g);

// ---- the writer (save_dump.cpp) and the readers (reader.cpp, load_dump.cpp) --------------------
nb::object save_dump(const py::Call& g);

struct LoadedDump {
    nb::object obj;
    nb::object info;  // the whole dump info, as json.loads returned it
};

struct ReadContainer {
    nb::object compressed;  // the payload, decrypted when it was encrypted
    nb::object info;
};

// Limits on fetching a URL, for readers of files from others: the whole body within `timeout`
// seconds (None: no limit) and at most `max_bytes` bytes. mtdump's own readers set none.
struct UrlLimits {
    nb::handle timeout;
    long long max_bytes;
};

// Opens the container (file or URL), reads its five fields and decrypts the payload through the
// running module's own names.
ReadContainer read_container(const py::Call& g, nb::handle path, nb::handle passphrase,
                             nb::handle storage_options, const UrlLimits* limits = nullptr);

// Decompresses the payload and verifies its checksum (`checksum`, else the dump info's): the
// serialized bytes.
nb::object verify_payload(const py::Call& g, ReadContainer container, nb::handle checksum);

// MTDChecksumError(f"Checksum mismatch: expected {expected}, got {actual}")
[[noreturn]] void raise_checksum_mismatch(const py::Call& g, nb::handle expected, nb::handle actual);

struct ReadPayload {
    nb::object serialized;  // the verified serialized bytes
    nb::object info;
};

// read_container, then verify_payload.
ReadPayload read_payload(const py::Call& g, nb::handle path, nb::handle passphrase, nb::handle checksum,
                         nb::handle storage_options);

// read_payload, then deserializes through the running module's `_deserialize_obj`.
LoadedDump read_dump(const py::Call& g, nb::handle path, nb::handle passphrase, nb::handle checksum,
                     nb::handle storage_options);

nb::object load_dump(const py::Call& g);

}  // namespace korva::utils::mtdump
