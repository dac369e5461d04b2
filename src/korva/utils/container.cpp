// The container frame shared by both MTD modules: its constants and its exception classes.
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

}  // namespace korva::utils::mtdump
