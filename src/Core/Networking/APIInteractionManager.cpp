#include "Core/Networking/APIInteractionManager.h"

#include <algorithm>
#include <optional>
#include <utility>

#include <svsdk/SVError.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Networking/Request.h"
#include "Core/Storing/StorageManager.h"
#include "Core/Utilities/JSON.h"

namespace svsdk {
namespace {

// Probes are plain GET requests: no body, no headers of the SDK, no signing,
// and the default time limit rather than the host's request timeout.
constexpr double kProbeTimeout = 60.0;

void sendProbe(HTTPSession& session, const URL& target, HTTPSession::Completion completion) {
    Logger::log(SVLogCategory::network, [&] { return "Checking " + target.absoluteString(); });
    URLRequest request;
    request.url = target.absoluteString();
    request.httpMethod = "GET";
    request.timeoutInterval = kProbeTimeout;
    session.dataTask(std::move(request), std::move(completion));
}

// A transfer error is passed on as it came; true when there was one.
bool rejectedForTransferError(const TransferResult& result, const Promise<std::int64_t>& promise) {
    if (!result.error) return false;
    Logger::error(SVLogCategory::network, result.error->what());
    promise.reject(*result.error);
    return true;
}

void handleHealthCheckResponse(const TransferResult& result, const Promise<std::int64_t>& promise) {
    if (rejectedForTransferError(result, promise)) return;
    // The status is not examined: the declared version of a body that is one
    // valid JSON document is what counts. Streamed, never built: an answer of
    // any size costs nothing more.
    std::optional<std::int64_t> version;
    if (result.data)
        version = streamedJSONInteger(
            std::string_view(reinterpret_cast<const char*>(result.data->data()), result.data->size()),
            {"sv_api_version"});
    if (version)
        promise.resolve(*version);
    else
        promise.reject(SVError::endpointUnavailable());
}

std::optional<URL> interactionURLOf(const SVUser& user) {
    auto url = URL::parse(user.interactionURL());
    if (!url || !url->isAbsolute()) return std::nullopt;
    return url;
}

void handleLegacyProbeResponse(const TransferResult& result, std::int64_t version,
                               const Promise<std::int64_t>& promise) {
    if (rejectedForTransferError(result, promise)) return;
    // Any answer but 404 proves that this protocol version exists.
    if (result.response && result.response->statusCode != 404)
        promise.resolve(version);
    else
        promise.reject(SVError::endpointUnavailable());
}

}  // namespace

APIInteractionManager::APIInteractionManager(HTTPSession& session)
    : session_(session), apiVersions_("Serial queue") {}

APIInteractionManager& APIInteractionManager::shared() {
    // Never destroyed: probes still running at exit may complete into it.
    static auto* manager = new APIInteractionManager();
    return *manager;
}

void APIInteractionManager::checkServersAPIVersions() { checkServersAPIVersions(StorageManager::shared().users()); }

void APIInteractionManager::checkServersAPIVersions(const std::vector<SVUser>& users) {
    Logger::log(SVLogCategory::network, "Checking servers API versions");
    // A chain for every user, in order: each replaces the entry of its
    // system, also one that failed earlier, and the last one stays.
    for (const auto& user : users) {
        auto url = interactionURLOf(user);
        if (!url) continue;
        Future<std::int64_t> chain = probe(*url);
        std::optional<Future<std::int64_t>> replaced;  // released after the lock
        apiVersions_.update([&](auto& versions) {
            auto [entry, added] = versions.try_emplace(user.systemID(), chain);
            if (!added) replaced = std::exchange(entry->second, chain);
        });
    }
}

Future<APIInteractionManager::Interactor> APIInteractionManager::makeInteractor(const SVUser& user) {
    Logger::log(SVLogCategory::network, "Making an API Interactor");
    Promise<Interactor> interactorPromise;
    auto url = interactionURLOf(user);
    if (!url) {
        Logger::error(SVLogCategory::network, "The user's interaction URL is not a URL");
        interactorPromise.reject(SVError::missingInteractionURL());
        return interactorPromise;
    }
    Logger::log(SVLogCategory::network, "Checking the server's API version");
    Future<std::int64_t> version = versionOf(user.systemID(), *url);
    version.observe([interactorPromise, url = *url](const SVResult<std::int64_t>& result) {
        if (!result.ok()) {
            interactorPromise.reject(result.error());
            return;
        }
        std::int64_t found = result.value();
        Logger::log(SVLogCategory::network, [&] { return "Found the server's API version: " + std::to_string(found); });
        if (auto made = interactor(std::min(found, kHighestVersion), url)) {
            interactorPromise.resolve(std::move(made));
            return;
        }
        Logger::error(SVLogCategory::network, "Could not make interactor for " + std::to_string(found) + " API version");
        interactorPromise.reject(SVError::apiIsNotSupported());
    });
    return interactorPromise;
}

Future<std::int64_t> APIInteractionManager::versionOf(const std::string& systemID, const URL& url) {
    // Read and filled in one step, so concurrent first requests for one
    // system share one probe. The probe starts after the lock is released.
    std::optional<Promise<std::int64_t>> placeholder;
    Future<std::int64_t> cached = apiVersions_.update([&](auto& versions) -> Future<std::int64_t> {
        if (auto found = versions.find(systemID); found != versions.end()) return found->second;
        placeholder.emplace();
        versions.emplace(systemID, *placeholder);
        return *placeholder;
    });
    if (placeholder)
        probe(url).observe([entry = *placeholder](const SVResult<std::int64_t>& result) { entry.settle(result); });
    return cached;
}

Future<std::int64_t> APIInteractionManager::probe(const URL& url) {
    return fallback(url, 1, fallback(url, 2, checkHealth(url)));
}

Future<std::int64_t> APIInteractionManager::checkHealth(const URL& url) {
    URL target = url.appendingPathComponent("health_check");
    Promise<std::int64_t> promise;
    sendProbe(session_, target, [promise](TransferResult result) { handleHealthCheckResponse(result, promise); });
    return promise;
}

Future<std::int64_t> APIInteractionManager::fallback(const URL& url, std::int64_t version,
                                                     const Future<std::int64_t>& after) {
    Promise<std::int64_t> promise;
    after.observe([session = &session_, promise, url, version](const SVResult<std::int64_t>& previous) {
        if (previous.ok()) {
            promise.resolve(previous.value());
            return;
        }
        URL target = url.appendingPathComponent("jsonrequest_v" + std::to_string(version));
        sendProbe(*session, target, [promise, version](TransferResult result) {
            handleLegacyProbeResponse(result, version, promise);
        });
    });
    return promise;
}

APIInteractionManager::Interactor APIInteractionManager::interactor(std::int64_t version, const URL& url) {
    if (version == 1 || version == 2) return std::make_shared<APIInteractorLegacy>(url, version);
    if (version == 3) return std::make_shared<APIInteractorV3>(url);
    return nullptr;
}

}  // namespace svsdk
