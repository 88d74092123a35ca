#pragma once

#include <QString>

#include <string_view>

namespace morvex::ui {

// The core's UTF-8 as the widgets' text; bytes that are no UTF-8 (a path
// from an older file system) show as replacement characters.
inline QString qtText(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace morvex::ui
