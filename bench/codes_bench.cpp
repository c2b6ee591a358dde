// The offline road: confirming and declining one transaction on the device,
// and unlocking key content, each beside its floor measured in the same run
// (the primitives it cannot avoid). Prints the ratios at the end.
//
// Run: scripts/bench, or build/bench/codes_bench.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <unistd.h>

#include <svsdk/SVConfirmation.h>
#include <svsdk/SVDeclination.h>
#include <svsdk/SVPlatformConfiguration.h>
#include <svsdk/SVTransaction.h>

#include "Core/Security/Cryptor.h"
#include "Core/Security/TLV.h"
#include "Core/Security/TransactionCode.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Time/TimeManager.h"
#include "BenchSupport.h"
#include "support/SigningUser.h"

using namespace svsdk;

namespace {

struct Fixture {
    bench::BenchPlatform platform;
    testing::ScopedSigningUser signer{testing::makeUser("bench-user", 1)};
    SVTransaction transaction{"tx-1",
                              "bench-user",
                              "system-1",
                              6,
                              false,
                              SVConfirmationType::offline,
                              std::string("Transfer 125.00 EUR to DE89 3704 0044 0532 0130 00, reference 2024-118")};
    Bytes block;
    Bytes declineBlock;
    EVP_PKEY* parsedKey = nullptr;
    Bytes protectedKeys = Cryptor::encrypt(testing::numbered(64), "bench-user", "activation-code");

    Fixture() {
        double time = TimeManager::shared().discreteTimeInterval(signer.user().confirmationCodeTSI());
        block = TLV::transactionConfirmation(transaction, signer.user(), std::nullopt, time);
        declineBlock = TLV::transactionConfirmation(transaction, signer.user(), std::string("not authorized"), time);
        // The same key, parsed once, as the floor's signer.
        auto pair = SecureEnclave::users().retrieveKeyPair(signer.user().uniqueID());
        parsedKey = pair.privateKey.get();
        EVP_PKEY_up_ref(parsedKey);
    }
    ~Fixture() { EVP_PKEY_free(parsedKey); }
};

Fixture* fixture = nullptr;

void hmacOnce(const Bytes& key, const Bytes& data) {
    unsigned char out[32];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out, &length);
    benchmark::DoNotOptimize(out);
}

void signOnce(EVP_PKEY* key, const Bytes& data) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char signature[80];
    std::size_t length = sizeof signature;
    if (EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx, signature, &length, data.data(), data.size()) != 1)
        std::abort();
    EVP_MD_CTX_free(ctx);
    benchmark::DoNotOptimize(signature);
}

void OfflineConfirmation(benchmark::State& state) {
    for (auto _ : state) {
        SVConfirmation confirmation(fixture->transaction, fixture->signer.user(), true);
        benchmark::DoNotOptimize(confirmation);
    }
}

// The part of a confirmation that reads the signing key from the key store.
void SigningKeyLookup(benchmark::State& state) {
    const std::string label = fixture->signer.user().uniqueID();
    for (auto _ : state) {
        auto pair = SecureEnclave::users().retrieveKeyPair(label);
        benchmark::DoNotOptimize(pair);
    }
}

// Every step of a confirmation but the key store's read: code, short code,
// signature with the key parsed once, timestamp.
void ConfirmationWithParsedKey(benchmark::State& state) {
    SecKey key(fixture->parsedKey);
    EVP_PKEY_up_ref(fixture->parsedKey);
    for (auto _ : state) {
        TransactionCode code = transactionCode(fixture->transaction, fixture->signer.user(), std::nullopt, true);
        std::string signature = hexString(SVConfirmation::sign(code.block, key));
        double timestamp = TimeManager::deviceClock();
        benchmark::DoNotOptimize(code);
        benchmark::DoNotOptimize(signature);
        benchmark::DoNotOptimize(timestamp);
    }
}

void ConfirmationFloor(benchmark::State& state) {
    for (auto _ : state) {
        hmacOnce(fixture->signer.kHMAC(), fixture->block);
        signOnce(fixture->parsedKey, fixture->block);
    }
}

void OfflineDeclination(benchmark::State& state) {
    for (auto _ : state) {
        SVDeclination declination(fixture->transaction, fixture->signer.user(), true);
        benchmark::DoNotOptimize(declination);
    }
}

void DeclinationFloor(benchmark::State& state) {
    for (auto _ : state) hmacOnce(fixture->signer.kHMAC(), fixture->declineBlock);
}

void DecryptKeys(benchmark::State& state) {
    for (auto _ : state) {
        UserKeys keys = Cryptor::decryptKeys(fixture->protectedKeys, "bench-user", "activation-code");
        benchmark::DoNotOptimize(keys);
    }
}

void DecryptKeysFloor(benchmark::State& state) {
    const std::string password = "activation-code";
    const std::string salt = "bench-user";
    unsigned char out[32];
    for (auto _ : state) {
        PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), 2000,
                          EVP_sha256(), 32, out);
        benchmark::DoNotOptimize(out);
    }
}

BENCHMARK(OfflineConfirmation);
BENCHMARK(ConfirmationWithParsedKey);
BENCHMARK(SigningKeyLookup);
BENCHMARK(ConfirmationFloor);
BENCHMARK(OfflineDeclination);
BENCHMARK(DeclinationFloor);
BENCHMARK(DecryptKeys);
BENCHMARK(DecryptKeysFloor);

}  // namespace

int main(int argc, char** argv) {
    bench::CollectingReporter reporter;
    if (!bench::runWithFixture(argc, argv, fixture, reporter)) return 1;

    auto ratio = [&](const char* label, const char* measured, const char* floor, double target) {
        bench::printRatio(reporter.cpuTime, std::string(label) + "/floor", measured, floor, target);
    };
    ratio("offline-confirmation", "OfflineConfirmation", "ConfirmationFloor", 1.5);
    ratio("confirmation-with-parsed-key", "ConfirmationWithParsedKey", "ConfirmationFloor", 1.5);
    ratio("signing-key-lookup", "SigningKeyLookup", "ConfirmationFloor", 0);
    ratio("offline-declination", "OfflineDeclination", "DeclinationFloor", 0);
    ratio("decryptKeys", "DecryptKeys", "DecryptKeysFloor", 0);
    return 0;
}
