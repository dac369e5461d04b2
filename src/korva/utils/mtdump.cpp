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
}

}  // namespace korva::utils::mtdump
