#pragma once
// Learns each server's API version, once per server system and process, and
// turns a user into the protocol object of that version. The answer (also a
// failed probe) is cached as a future under the system's identifier.
//
// A server is asked through "health_check" (its JSON "sv_api_version"), then
// through "jsonrequest_v2" and "jsonrequest_v1" (any status but 404 proves
// that version), each later question only when the earlier one failed.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <svsdk/SVUser.h>

#include "Core/Networking/APIInteractor.h"
#include "Core/Concurrency/Future.h"
#include "Core/Networking/HTTPSession.h"
#include "Core/Utilities/Serial.h"
#include "Core/Utilities/URL.h"

namespace svsdk {

class APIInteractionManager {
public:
    using Interactor = std::shared_ptr<const APIInteractor>;

    // The highest API version the SDK speaks.
    static constexpr std::int64_t kHighestVersion = 3;

    // A manager with an empty cache that sends its probes through `session`.
    explicit APIInteractionManager(HTTPSession& session = HTTPSession::shared());
    APIInteractionManager(const APIInteractionManager&) = delete;
    APIInteractionManager& operator=(const APIInteractionManager&) = delete;

    // The process-wide manager, made on first use.
    static APIInteractionManager& shared();

    // Starts probing the server of every user, in order, each chain replacing
    // the cache entry of the user's system (users without a usable
    // interaction URL are skipped).
    void checkServersAPIVersions(const std::vector<SVUser>& users);
    // The same for every stored user (StorageManager::shared()).
    void checkServersAPIVersions();

    // The user's protocol object, built on the user's own interaction URL,
    // from the cached version of its system or after probing it. Fails with
    // the probe's error, with `SVError::apiIsNotSupported` for a version
    // below 1, or with `SVError::missingInteractionURL` when the user's
    // interaction URL is not an absolute URL. Never throws.
    Future<Interactor> makeInteractor(const SVUser& user);

    // The version that the server declares through "health_check".
    Future<std::int64_t> checkHealth(const URL& url);
    // `after`'s version, or when it failed, `version` if the server has
    // "jsonrequest_v<version>".
    Future<std::int64_t> fallback(const URL& url, std::int64_t version, const Future<std::int64_t>& after);
    // The protocol object of `version` (1 or 2: legacy, 3: v3), or none.
    static Interactor interactor(std::int64_t version, const URL& url);

private:
    // The cached version future of the system; on a miss the entry is made
    // and the probe chain on `url` started, in one step.
    Future<std::int64_t> versionOf(const std::string& systemID, const URL& url);
    Future<std::int64_t> probe(const URL& url);

    HTTPSession& session_;
    Serial<std::map<std::string, Future<std::int64_t>>> apiVersions_;
};

}  // namespace svsdk
