// The container frame shared by both MTD modules: its constants, its exception classes and the
// message for a missing optional package.
#include "korva/utils/mtdump.hpp"

namespace korva::utils::mtdump {

void bind_container_constants(const ModuleBody& m) {
    m.bind("MAGIC_NUMBER", nb::bytes("MTD1", 4));
    m.bind("INFO_LEN_FORMAT", nb::str("<Q"));
    m.bind("PAYLOAD_LEN_FORMAT", nb::str("<Q"));
    m.bind("AES_KEY_SIZE", nb::int_(32));
    m.bind("IV_SIZE", nb::int_(16));
}

void define_exception_classes(const ModuleBody& m) {
    nb::object mtd_error = m.exception_class("MTDError", PyExc_Exception);
    m.exception_class("MTDFormatError", mtd_error);
    m.exception_class("MTDChecksumError", mtd_error);
    m.exception_class("MTDDecryptionError", mtd_error);
}

void raise_not_installed(const py::Call& g, const char* package) {
    nb::object type = g("ImportError");
    nb::object message = nb::steal(PyUnicode_FromFormat(
        "%s is not installed. Please install it with 'pip install %s'", package, package));
    if (!message.is_valid()) throw nb::python_error();
    py::raise(type, message);
}

}  // namespace korva::utils::mtdump
