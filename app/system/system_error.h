// The system's own text for an errno value, as users see it in our error messages.
#pragma once

#include <QString>

#include <cstring>

namespace nimbrel {

inline QString systemErrorText(int error)
{
    char buffer[256];
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

} // namespace nimbrel
