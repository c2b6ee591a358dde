#pragma once
// A user's option flags, chosen by its server system, and the password policy
// they select.
#include <cstdint>
#include <string_view>

namespace svsdk {

// The option bits of a user. The raw value is kept with all its bits, also
// those that have no meaning here.
struct UserFlags {
    std::int64_t rawValue = 0;

    constexpr UserFlags() = default;
    constexpr explicit UserFlags(std::int64_t raw) : rawValue(raw) {}

    static const UserFlags withFingerprint;            // 1
    static const UserFlags collectEvents;              // 2
    static const UserFlags collectDeviceInfo;          // 4
    static const UserFlags collectSimInfo;             // 8
    static const UserFlags collectLocation;            // 16
    static const UserFlags passwordPolicyLow;          // 32, low bit of the password policy
    static const UserFlags passwordPolicyHigh;         // 64, high bit of the password policy
    static const UserFlags denyStoreWithOSProtection;  // 128
    static const UserFlags denyRenewPubKey;            // 256
    static const UserFlags autosignEnabled;            // 512
    static const UserFlags scoringEnabled;             // 1024

    constexpr bool contains(UserFlags other) const { return (rawValue & other.rawValue) == other.rawValue; }
    friend constexpr UserFlags operator|(UserFlags a, UserFlags b) { return UserFlags(a.rawValue | b.rawValue); }
    friend constexpr bool operator==(UserFlags a, UserFlags b) { return a.rawValue == b.rawValue; }
};
inline constexpr UserFlags UserFlags::withFingerprint{1};
inline constexpr UserFlags UserFlags::collectEvents{2};
inline constexpr UserFlags UserFlags::collectDeviceInfo{4};
inline constexpr UserFlags UserFlags::collectSimInfo{8};
inline constexpr UserFlags UserFlags::collectLocation{16};
inline constexpr UserFlags UserFlags::passwordPolicyLow{32};
inline constexpr UserFlags UserFlags::passwordPolicyHigh{64};
inline constexpr UserFlags UserFlags::denyStoreWithOSProtection{128};
inline constexpr UserFlags UserFlags::denyRenewPubKey{256};
inline constexpr UserFlags UserFlags::autosignEnabled{512};
inline constexpr UserFlags UserFlags::scoringEnabled{1024};

// The rule a password must meet before a user is stored with it.
enum class SVPasswordPolicy {
    optional,                  // at least 6 characters (whether one is needed is up to storage)
    short_,                    // at least 6 characters
    longWithLetters,           // at least 8 characters, a lowercase and an uppercase letter
    longWithLettersAndDigits,  // as longWithLetters, and a decimal digit
};

// Whether `password` (UTF-8) meets `policy`. Characters are extended grapheme
// clusters; the classes are the Unicode general categories Ll (lowercase),
// Lu or Lt (uppercase) and Nd (decimal digit). Each ill-formed UTF-8 sequence
// reads as one U+FFFD replacement character, which counts towards the length
// and belongs to no class. Texts over 2 GiB are refused.
bool validate(SVPasswordPolicy policy, std::string_view password);

// The public, read-only view of a user's flags.
struct SVUserOptions {
    UserFlags flags;

    bool isWithFingerprint() const { return flags.contains(UserFlags::withFingerprint); }
    bool isCollectEvents() const { return flags.contains(UserFlags::collectEvents); }
    bool isCollectDeviceInfo() const { return flags.contains(UserFlags::collectDeviceInfo); }
    bool isCollectSimInfo() const { return flags.contains(UserFlags::collectSimInfo); }
    bool isCollectLocation() const { return flags.contains(UserFlags::collectLocation); }
    bool isDenyStoreWithOSProtection() const { return flags.contains(UserFlags::denyStoreWithOSProtection); }
    bool isDenyRenewPubKey() const { return flags.contains(UserFlags::denyRenewPubKey); }
    bool isAutosignEnabled() const { return flags.contains(UserFlags::autosignEnabled); }
    bool isScoringEnabled() const { return flags.contains(UserFlags::scoringEnabled); }
    // The two bits above the collection bits: 0 optional, 1 short,
    // 2 long with letters, 3 long with letters and digits.
    SVPasswordPolicy passwordPolicy() const { return static_cast<SVPasswordPolicy>((flags.rawValue >> 5) & 3); }

    friend bool operator==(const SVUserOptions& a, const SVUserOptions& b) { return a.flags == b.flags; }
};

}  // namespace svsdk
