// Importing a user (XML, through the string scanner) and a transaction (plain
// text) from texts of 1 KB, 100 KB and 10 MB. Prints how the time grows per
// 100 times the text (linear: about 100) and how the XML import compares with
// a plain memchr scan of the same bytes.
#include <cstring>
#include <string>

#include "BenchSupport.h"
#include "Core/Importing/Importers.h"
#include "Core/Utilities/Encoding.h"

namespace {

constexpr std::int64_t kSizes[] = {1 << 10, 100 << 10, 10 << 20};

// A user's XML text of about `size` bytes, padded with many small elements
// before its own (the hostile case of a scan per tag name).
std::string xmlUser(std::size_t size) {
    std::string text = "<keyData>";
    while (text.size() + 300 < size) text += "<a>x</a>";
    svsdk::Bytes key(48, 7);
    text += "<systemId>SYS</systemId><userId>7</userId><expDate>2030-12-31</expDate><encryptedKey>" +
            svsdk::base64Encode(key) + "</encryptedKey><interactionExternalURL>https://sv.example.test"
            "</interactionExternalURL><collectEvent>true</collectEvent></keyData>";
    return text;
}

// A transaction's plain text of about `size` bytes, most of it the text.
std::string plainTransaction(std::size_t size) {
    std::string text = "203\nSYS\nuser-1\ntx-1\n1\n6\n";
    while (text.size() < size) text += "Pay 10.00 EUR to account 12345678\n";
    return text;
}

void BM_XMLUser(benchmark::State& state) {
    std::string text = xmlUser(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        if (!svsdk::XMLUserImporter().importUser(text)) state.SkipWithError("not imported");
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_XMLUser)->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2])->Unit(benchmark::kMicrosecond);

void BM_PlainTransaction(benchmark::State& state) {
    std::string text = plainTransaction(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        if (!svsdk::PlainTextTransactionImporter().importTransaction(text)) state.SkipWithError("not imported");
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_PlainTransaction)->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2])->Unit(benchmark::kMicrosecond);

// The floor: every "<" of the XML text found with memchr.
void BM_MemchrXML(benchmark::State& state) {
    std::string text = xmlUser(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::size_t count = 0;
        for (const char* p = text.data(); (p = static_cast<const char*>(
                                               std::memchr(p, '<', text.size() - (p - text.data())))) != nullptr;
             ++p)
            ++count;
        benchmark::DoNotOptimize(count);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_MemchrXML)->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2])->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    svsdk::bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto name = [](const char* bench, std::int64_t size) { return std::string(bench) + "/" + std::to_string(size); };
    for (const char* bench : {"BM_XMLUser", "BM_PlainTransaction"})
        for (int i = 0; i + 1 < 3; ++i)
            svsdk::bench::printRatio(reporter.cpuTime,
                                     std::string(bench) + " growth " + std::to_string(kSizes[i + 1] / 1024) + "KB/" +
                                         std::to_string(kSizes[i] / 1024) + "KB (linear: ~100)",
                                     name(bench, kSizes[i + 1]).c_str(), name(bench, kSizes[i]).c_str());
    for (std::int64_t size : kSizes)
        svsdk::bench::printRatio(reporter.cpuTime, "XML user / memchr at " + std::to_string(size / 1024) + "KB",
                                 name("BM_XMLUser", size).c_str(), name("BM_MemchrXML", size).c_str());
    return 0;
}
