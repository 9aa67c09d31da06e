// The library's MD5 against OpenSSL's one-shot MD5() and EVP_Digest, size by size: 16 and 64
// bytes (one block), 1024, and 4352 (a whole packet buffer with a 256-byte secret behind it).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "md5/md5.h"
#include "openssl_ref.h"

namespace {

const std::size_t kSizes[] = {16, 64, 1024, 4352};

std::vector<std::uint8_t> Message(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return bytes;
}

using DigestFunction = void (*)(std::uint8_t*, const void*, std::size_t);

void LibraryMd5(std::uint8_t* digest, const void* bytes, std::size_t length) {
    MD5Digest(digest, bytes, static_cast<std::uint32_t>(length));
}

void BM_Digest(benchmark::State& state, DigestFunction digestFunction) {
    const std::vector<std::uint8_t> message = Message(static_cast<std::size_t>(state.range(0)));
    std::uint8_t digest[16];
    for (auto _ : state) {
        digestFunction(digest, message.data(), message.size());
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

int main(int argc, char** argv) {
    // --smoke: a token count of iterations, to show that every benchmark runs; no timing.
    bool smoke = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            smoke = true;
        else
            args.push_back(argv[i]);
    }
    {
        // The same message gives the same digest from both, or the comparison means nothing.
        const std::vector<std::uint8_t> m = Message(4352);
        std::uint8_t a[16], b[16];
        for (std::size_t n : kSizes) {
            LibraryMd5(a, m.data(), n);
            OpenSslMd5(b, m.data(), n);
            if (std::memcmp(a, b, 16) != 0) {
                std::fprintf(stderr, "MD5 of %zu bytes differs from OpenSSL's\n", n);
                return 1;
            }
        }
    }
    const struct {
        const char* name;
        DigestFunction function;
    } implementations[] = {
        {"library", LibraryMd5}, {"openssl_md5", OpenSslMd5}, {"openssl_evp", OpenSslEvpMd5}};
    for (std::size_t n : kSizes) {
        for (const auto& implementation : implementations) {
            const std::string name = std::string("md5/") + implementation.name;
            auto* b = benchmark::RegisterBenchmark(name.c_str(), BM_Digest, implementation.function)
                          ->Arg(static_cast<std::int64_t>(n));
            if (smoke) b->Iterations(100);
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
