// load_dump of korva.utils.mtdump: the shared container reader, with the dump info on request.
#include "korva/utils/mtdump.hpp"

namespace korva::utils::mtdump {

nb::object load_dump(const py::Call& g) {
    nb::handle path = g[0], passphrase = g[1], checksum = g[2], return_info = g[3], storage_options = g[4];
    LoadedDump loaded = read_dump(g, path, passphrase, checksum, storage_options);
    if (py::truthy(return_info)) return nb::make_tuple(loaded.obj, loaded.info);
    return loaded.obj;
}

}  // namespace korva::utils::mtdump
