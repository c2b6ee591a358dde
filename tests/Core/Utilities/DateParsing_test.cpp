#include <gtest/gtest.h>

#include <memory>

#include <unicode/timezone.h>

#include "Core/Utilities/DateParsing.h"

using namespace svsdk;

namespace {

// Sets the device's default time zone for one test and restores it after.
class DateParsingTest : public ::testing::Test {
protected:
    void SetUp() override { saved_.reset(icu::TimeZone::createDefault()); }
    void TearDown() override { icu::TimeZone::setDefault(*saved_); }
    static void useZone(const char* id) {
        icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(id)));
    }

private:
    std::unique_ptr<icu::TimeZone> saved_;
};

constexpr double utcMidnight = 1767139200;  // 2025-12-31 00:00:00 UTC

}  // namespace

TEST_F(DateParsingTest, DayFormatsGiveLocalMidnight) {
    struct Zone {
        const char* id;
        double offset;  // seconds east of UTC on that day
    } zones[] = {{"Europe/Berlin", 3600}, {"America/New_York", -5 * 3600}, {"Asia/Kolkata", 5.5 * 3600}};
    for (const auto& zone : zones) {
        useZone(zone.id);
        EXPECT_EQ(dateFromAnyFormat("31.12.2025"), utcMidnight - zone.offset) << zone.id;
        EXPECT_EQ(dateFromAnyFormat("2025-12-31"), utcMidnight - zone.offset) << zone.id;
    }
}

TEST_F(DateParsingTest, ATextWithAZoneIgnoresTheDeviceZone) {
    for (const char* zone : {"Europe/Berlin", "America/New_York"}) {
        useZone(zone);
        EXPECT_EQ(dateFromAnyFormat("2025-12-31T10:00:00+01:00"), utcMidnight + 9 * 3600) << zone;
        EXPECT_EQ(dateFromAnyFormat("2025-12-31T10:00:00Z"), utcMidnight + 10 * 3600) << zone;
        EXPECT_EQ(dateFromAnyFormat("2025-12-31-05:00"), utcMidnight + 5 * 3600) << zone;
    }
}

TEST_F(DateParsingTest, OtherTextsGiveNothing) {
    useZone("Europe/Berlin");
    for (const char* text : {
             "12/31/2025",
             "",
             "31.12.2025 trailing",
             "2025-12-31x",
             "2025-12-31T10:00:00+01:00 ",
             "2025-12-31T10:00:00",  // time without a zone
             "31.02.2025",           // no such day
             "2025-13-01",
             "31.12.",
             "Dec 31, 2025",
         })
        EXPECT_FALSE(dateFromAnyFormat(text)) << '"' << text << '"';
}
