#pragma once
// Everything that happens to a user on the device: the stored users, the
// device fingerprint, import, activation, unlocking with the password,
// storing and deleting, and the server operations registration, template
// registration and renewal. Static members only; no state of its own.
//
// Local operations run on the caller's thread and throw (import returns
// nothing instead); server operations return at once and call their
// completion exactly once.
#include <optional>
#include <string>
#include <vector>

#include "SVCompletion.h"
#include "SVExtendedAuth.h"
#include "SVUser.h"

namespace svsdk {

class SVUsersManager {
public:
    SVUsersManager() = delete;

    // The users of the current storage, then those of the legacy storage.
    static std::vector<SVUser> users();
    // The device fingerprint the server knows this device by.
    static std::string fingerprint();

    // A user from a QR, deep-link, JSON, XML or plain-text source; nothing
    // when the source is not recognised or not valid. Keys that arrive in
    // plain are unlocked for the later steps; the user is not stored. Never
    // throws: any failure (memory included) is logged and gives nothing.
    static std::optional<SVUser> importUser(const std::string& from);
    // Decrypts the key content of an imported user with its activation code
    // (SVError::invalidActivationCode for an empty or wrong code); a user
    // whose keys are not encrypted is left as it is.
    static void activate(const SVUser& user, const std::string& code);
    // Unlocks a stored user's keys with its password (a legacy user is moved
    // to the current storage first). SVError::invalidPassword for an empty or
    // wrong password; a wrong one also tells the server, in the background.
    static void submit(const std::string& password, const SVUser& user);
    // Stores a new (imported and activated) user under a name and password,
    // or updates a stored one.
    static void store(const SVUser& user, const std::optional<std::string>& name,
                      const std::optional<std::string>& password);
    // Removes the user with its key pairs and tells the server in the
    // background.
    static void deleteUser(const SVUser& user);

    // Registers the user's push token (when given and not the registered
    // one) and, when the user has no key pair yet, a new one's public key.
    // A key pair that cannot be made fails with the key store's error and
    // sends nothing. A failed registration removes the pair and the token it
    // added.
    static void registerUser(const SVUser& user, const std::optional<std::string>& deviceToken,
                             SVCompletion completion);
    static void registerExtAuthTemplate(const SVUser& user, const SVExtendedAuth& extAuth, SVCompletion completion);
    // Renews the user's keys at the server; the stored user is replaced by
    // the renewed one. A user removed meanwhile stays removed.
    static void renew(const SVUser& user, SVCompletion completion);
};

}  // namespace svsdk
