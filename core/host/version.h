#pragma once

#include <QString>

#include <array>
#include <optional>

// The product version a.b.c.d compiled in from the build; none when the build did not set one.
std::optional<std::array<int, 4>> productVersion();

// The signature label shows "a.b.d": the third number is skipped. No version gives an empty text.
QString versionText(const std::optional<std::array<int, 4>>& version);
