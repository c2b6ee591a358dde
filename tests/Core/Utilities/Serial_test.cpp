#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "Core/Utilities/Serial.h"

using namespace svsdk;

TEST(SerialTest, ReadsSeeEveryEarlierWriteInOrder) {
    Serial<std::map<std::string, int>> versions("Serial queue");
    EXPECT_EQ(versions.label(), "Serial queue");
    EXPECT_TRUE(versions.value().empty());

    versions.write({{"a", 1}});
    versions.write({{"a", 2}, {"b", 3}});
    EXPECT_EQ(versions.value(), (std::map<std::string, int>{{"a", 2}, {"b", 3}}));

    // A read hands out a copy: changing it leaves the guarded value alone.
    auto copy = versions.value();
    copy["c"] = 4;
    EXPECT_EQ(versions.value().count("c"), 0u);
}

TEST(SerialTest, UpdateChangesInPlaceAndReturnsTheResult) {
    Serial<std::map<std::string, int>> counts("counts", {{"x", 1}});
    bool inserted = counts.update([](auto& map) { return map.emplace("y", 5).second; });
    EXPECT_TRUE(inserted);
    EXPECT_FALSE(counts.update([](auto& map) { return map.emplace("y", 6).second; }));
    int previous = counts.update([](auto& map) { return map["x"]++; });
    EXPECT_EQ(previous, 1);
    counts.update([](auto& map) { map.erase("y"); });
    EXPECT_EQ(counts.value(), (std::map<std::string, int>{{"x", 2}}));
}

TEST(SerialTest, AReplacedValueIsReleasedOnceAndOutsideTheLock) {
    struct Probe {
        Serial<std::shared_ptr<Probe>>* owner = nullptr;
        bool* released = nullptr;
        ~Probe() {
            if (!released) return;
            *released = true;
            // Would deadlock if the old value were destroyed under the lock.
            (void)owner->value();
        }
    };
    bool released = false;
    Serial<std::shared_ptr<Probe>> slot("probe");
    auto probe = std::make_shared<Probe>();
    probe->owner = &slot;
    probe->released = &released;
    slot.write(std::move(probe));
    EXPECT_FALSE(released);
    slot.write(nullptr);
    EXPECT_TRUE(released);
}
