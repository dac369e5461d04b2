// Shared pieces of the MTD dump container modules (korva.utils.mtdump and korva.utils.mtd_loader).
#pragma once

#include "korva/module_body.hpp"

namespace korva::utils::mtdump {

// MAGIC_NUMBER, INFO_LEN_FORMAT, PAYLOAD_LEN_FORMAT, AES_KEY_SIZE, IV_SIZE, in this order.
void bind_container_constants(const ModuleBody& m);

// MTDError(Exception) and its subclasses MTDFormatError, MTDChecksumError, MTDDecryptionError.
void define_exception_classes(const ModuleBody& m);

}  // namespace korva::utils::mtdump
