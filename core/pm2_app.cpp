#include "core/pm2_app.h"

#include <array>

namespace nimbrel {

namespace {

constexpr std::array statuses{
    std::pair{PM2App::Status::online, u"online"},
    std::pair{PM2App::Status::stopped, u"stopped"},
    std::pair{PM2App::Status::errored, u"errored"},
    std::pair{PM2App::Status::launching, u"launching"},
    std::pair{PM2App::Status::stopping, u"stopping"},
    std::pair{PM2App::Status::unknown, u"unknown"},
};

} // namespace

QString PM2App::project() const
{
    // Tried in this order; only the first suffix that matches is removed.
    static constexpr std::array suffixes{u"-backend", u"-frontend", u"-api",
                                         u"-web",     u"-server",   u"-client"};
    for (const char16_t *suffix : suffixes) {
        const QStringView view{suffix};
        if (name.endsWith(view))
            return name.left(name.size() - view.size());
    }
    return name;
}

QString rawValue(PM2App::Status status)
{
    for (const auto &[value, text] : statuses) {
        if (value == status)
            return QString::fromUtf16(text);
    }
    return QStringLiteral("unknown");
}

PM2App::Status statusFromRawValue(QStringView text)
{
    for (const auto &[value, raw] : statuses) {
        if (text == QStringView{raw})
            return value;
    }
    return PM2App::Status::unknown;
}

} // namespace nimbrel
