#include <svsdk/SVNetworkError.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Networking/Request.h"
#include "Core/Utilities/JSON.h"

namespace svsdk {
namespace {

std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The code of {"answer": {"result": {"error_code": <integer>}}}, if the
// body is one valid JSON document that holds a known case. The body is
// streamed, never built as a document: an error answer of any size costs
// nothing more.
SVNetworkError decodeServerError(const std::optional<Bytes>& data) {
    SVNetworkError undefined(SVNetworkError::Code::undefined);
    if (!data) return undefined;
    auto code = streamedJSONInteger(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()),
                                    {"answer", "result", "error_code"});
    if (!code) return undefined;
    return SVNetworkError::fromRawValue(*code).value_or(undefined);
}

}  // namespace

Future<Bytes> sendRequest(URLRequest request, HTTPSession& session, AnswerBody answer) {
    Promise<Bytes> promise;
    Logger::log(SVLogCategory::network,
                [&] { return "Sending the " + request.httpMethod + " request to " + request.url; });
    Logger::log(SVLogCategory::network,
                [&] { return "Request's body: " + (request.httpBody ? textOf(*request.httpBody) : "none"); });
    session.dataTask(std::move(request),
                     [promise, answer](TransferResult result) { handleResponse(std::move(result), promise, answer); });
    return promise;
}

void handleResponse(TransferResult result, const Promise<Bytes>& promise, AnswerBody answer) {
    // A transfer that did not complete is no answer, even when a status line
    // had arrived: the body may be cut short.
    if (result.error || !result.response) {
        if (result.error)
            Logger::error(SVLogCategory::network, std::string("The request failed: ") + result.error->what());
        promise.reject(SVNetworkError(SVNetworkError::Code::serverDoesNotRespond));
        return;
    }
    const HTTPResponse& response = *result.response;
    Logger::log(SVLogCategory::network, [&] {
        std::string text = "Response: " + std::to_string(response.statusCode) + "\n";
        bool first = true;
        for (const auto& [name, value] : response.headers.fields()) {
            if (!first) text += "\n";
            text += name + ": " + value;
            first = false;
        }
        return text;
    });
    if (result.data && answer == AnswerBody::secret) {
        if (Logger::isKeysEnabled())
            Logger::secret([&] { return "Response's body:\n" + textOf(*result.data); });
        else
            Logger::log(SVLogCategory::network, "Response's body:");
    } else if (result.data) {
        Logger::log(SVLogCategory::network, [&] { return "Response's body:\n" + textOf(*result.data); });
    }
    if (response.statusCode == 200) {
        promise.resolve(result.data ? std::move(*result.data) : Bytes());
        return;
    }
    promise.reject(decodeServerError(result.data));
}

}  // namespace svsdk
