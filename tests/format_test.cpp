// The texts of memory and durations, and the search filter.
#include "core/format.h"
#include "core/search_filter.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <clocale>

using namespace nimbrel;

TEST(Format, memoryInMegabytesThenGigabytes)
{
    const std::pair<int64_t, const char *> cases[] = {
        {0, "0MB"},
        {1048576, "1MB"},
        {150LL << 20, "150MB"},
        {(1LL << 20) / 2 * 3, "2MB"}, // 1.5 rounds half to even, as printf does
        {(5LL << 20) / 2, "2MB"},
        {1073741823, "1024MB"}, // the switch is on the unrounded value
        {1073741824, "1.00GB"},
        {(3LL << 30) / 2, "1.50GB"},
        {-(1LL << 20), "-1MB"},
    };
    // A locale with a decimal comma must not change the texts.
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    for (const auto &[bytes, text] : cases)
        EXPECT_EQ(Format::memory(bytes), QLatin1String(text)) << bytes;
    QLocale::setDefault(QLocale::c());
    std::setlocale(LC_NUMERIC, "C");
}

TEST(Format, elapsedInItsLargestUnits)
{
    const Instant now = instantFromEpochSeconds(1'800'000'000);
    const std::pair<double, const char *> cases[] = {
        {-30, "0分"},
        {0, "0分"},
        {59.9, "0分"},
        {3599, "59分"},
        {3600, "1時間"},
        {86399, "23時間"},
        {86400, "1日"},
        {86400 + 3599, "1日"},
        {86400 + 3600, "1日と1時間"},
        {2 * 86400 + 2 * 3600, "2日と2時間"},
        {400 * 86400.0, "400日"},
    };
    for (const auto &[seconds, text] : cases)
        EXPECT_EQ(Format::elapsed(now - Seconds(seconds), now), QString::fromUtf8(text)) << seconds;
}

TEST(SearchFilter, everyTokenMustMatchTheNameOrAPort)
{
    struct Case
    {
        const char *query;
        const char *name;
        QList<int64_t> ports;
        bool matches;
    };
    const Case cases[] = {
        {"", "shop-api", {}, true},
        {"   \t ", "shop-api", {}, true},
        {"　", "shop-api", {}, true}, // the ideographic space alone
        {"api", "shop-api", {3000}, true},
        {"API", "shop-api", {3000}, true},
        {"api", "Shop-API", {}, true},
        {"30", "shop-api", {3000}, true},
        {"3001", "shop-api", {3000, 3001}, true},
        {"３０００", "shop-api", {3000}, true}, // full-width digits
        {"ＳＨＯＰ", "shop-api", {}, true},     // full-width capitals
        {"shop　api", "shop-api", {}, true},    // two tokens, ideographic space
        {"shop　web", "shop-api", {}, false},
        {"api 3000", "shop-api", {3000}, true},
        {"api 4000", "shop-api", {3000}, false},
        {"api 3", "shop-api", {}, false},
        {"i 3", "shop-api", {3000}, true},
        {"-api\n3000", "shop-api", {3000}, true},
        {"shop-api3000", "shop-api", {3000}, false}, // never across the space
        {"😀", "shop-api", {}, false},
        {"e\u0301", "cafe\u0301", {}, true},
        {"ｓｈｏｐ－ａｐｉ", "shop-api", {}, true}, // full-width punctuation
    };
    for (const Case &c : cases) {
        EXPECT_EQ(
            SearchFilter::matches(QString::fromUtf8(c.query), QString::fromUtf8(c.name), c.ports),
            c.matches)
            << c.query;
    }
}
