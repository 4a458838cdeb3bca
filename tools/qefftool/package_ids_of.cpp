#include "qefftool/package_ids_of.h"

#include "package/package_header.h"
#include "platform/exclusive_file.h"

PackageIds PackageIdsOf(const std::string& path) {
    const auto file = OpenFileExclusive(path);
    const auto header = file ? AcceptHeader(*file) : std::nullopt;
    if (!header)
        return {std::nullopt, file ? "Wrong file format!" : "Can't open file!"};
    return {DeviceAttributes{header->VendorId, header->ProductId}, nullptr};
}
