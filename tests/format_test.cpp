// The texts of memory and durations, and the search filter.
#include "core/format.h"
#include "core/search_filter.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <clocale>

using namespace nimbrel;

TEST(Format, memoryAndElapsedTexts)
{
    // Megabytes: halves round to even as printf does; the step to GB is on the unrounded value.
    const std::pair<double, const char *> memory[] = {
        {0, "0MB"},   {150, "150MB"},        {-1, "-1MB"},     {1.5, "2MB"},
        {2.5, "2MB"}, {1023.9999, "1024MB"}, {1024, "1.00GB"}, {1536, "1.50GB"}};
    // A locale with a decimal comma must not change the texts.
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    for (const auto &[megabytes, text] : memory)
        EXPECT_EQ(Format::memory(int64_t(megabytes * 1048576)), QLatin1String(text)) << megabytes;
    QLocale::setDefault(QLocale::c());
    std::setlocale(LC_NUMERIC, "C");

    const Instant now = instantFromEpochSeconds(1'800'000'000);
    const std::pair<double, const char *> elapsed[] = {
        {-30, "0分"},    {59.9, "0分"},         {3599, "59分"},
        {3600, "1時間"}, {86399, "23時間"},     {86400, "1日"},
        {89999, "1日"},  {90000, "1日と1時間"}, {400 * 86400.0, "400日"}};
    for (const auto &[seconds, text] : elapsed)
        EXPECT_EQ(Format::elapsed(now - Seconds(seconds), now), QString::fromUtf8(text)) << seconds;
}

TEST(SearchFilter, everyTokenMustMatchTheNameOrAPort)
{
    // Blanks include U+3000; full-width forms fold; no token spans the name and a port.
    const std::pair<const char *, bool> cases[] = {
        {"", true},          {" \t　", true},      {"Api", true},       {"3001", true},
        {"i 3", true},       {"-api\n3000", true}, {"api 4000", false}, {"api3000", false},
        {"shop　api", true}, {"shop　web", false}, {"３０００", true},  {"ＳＨＯＰ－ａｐｉ", true},
        {"😀", false}};
    for (const auto &[query, matches] : cases)
        EXPECT_EQ(SearchFilter::matches(QString::fromUtf8(query), u"Shop-API", {3000, 3001}),
                  matches)
            << query;
    EXPECT_TRUE(SearchFilter::matches(u"～", u"a~b", {})); // the last full-width character
}
