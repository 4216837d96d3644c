#include "core/host/version.h"

std::optional<std::array<int, 4>> productVersion() {
#if defined(IMPULZ_VERSION_MAJOR) && defined(IMPULZ_VERSION_MINOR) && defined(IMPULZ_VERSION_PATCH) &&                 \
    defined(IMPULZ_VERSION_TWEAK)
    return std::array<int, 4>{IMPULZ_VERSION_MAJOR, IMPULZ_VERSION_MINOR, IMPULZ_VERSION_PATCH, IMPULZ_VERSION_TWEAK};
#else
    return std::nullopt;
#endif
}

QString versionText(const std::optional<std::array<int, 4>>& version) {
    if (!version)
        return {};
    const auto& v = *version;
    return QStringLiteral("%1.%2.%3").arg(v[0]).arg(v[1]).arg(v[3]);
}
