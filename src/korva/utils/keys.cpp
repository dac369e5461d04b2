// korva.utils.mtdump key handling: fresh random keys, and the caller's passphrase (None, Base64
// text or raw bytes) turned into a 32-byte key. _prepare_key serves korva.utils.mtd_loader too.
#include "korva/utils/mtdump.hpp"

namespace korva::utils::mtdump {

nb::object _generate_key(const py::Call& g) {
    if (!py::truthy(g("CRYPTOGRAPHY_AVAILABLE"))) raise_not_installed(g, "cryptography");
    nb::object urandom = g("os").attr("urandom");
    return urandom(g("AES_KEY_SIZE"));
}

nb::object _prepare_key(const py::Call& g) {
    nb::handle passphrase = g[0];
    if (passphrase.is_none()) return nb::none();

    nb::object key;
    if (py::truthy(g("isinstance")(passphrase, g("str")))) {
        try {
            key = g("base64").attr("b64decode")(passphrase);
        } catch (nb::python_error& error) {
            // except (ValueError, TypeError): the text is not Base64.
            nb::object value_error = g("ValueError");
            nb::object type_error = g("TypeError");
            if (!error.matches(value_error) && !error.matches(type_error)) throw;
            py::raise_in_handler(error, g("ValueError"), "Invalid base64-encoded string for passphrase.");
        }
    } else if (py::truthy(g("isinstance")(passphrase, g("bytes")))) {
        key = nb::borrow(passphrase);
    } else {
        py::raise(g("TypeError"), "Passphrase must be None, str, or bytes.");
    }

    nb::object length = g("len")(key);
    if (py::compare(length, g("AES_KEY_SIZE"), Py_NE)) {
        nb::object type = g("ValueError");
        py::raise(type, py::f_string("Encryption key must be ", g("AES_KEY_SIZE"), " bytes long."));
    }
    return key;
}

}  // namespace korva::utils::mtdump
