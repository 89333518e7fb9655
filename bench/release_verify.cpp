// What signed releases add to a handshake: checking the reply's signature
// against the compiled-in keys. The signing key is the second of two, so
// the first key is tried and fails first (a rotation in progress, the
// slower case).
//
//   cmake --preset default -DCLIPVANE_BUILD_BENCH=ON && cmake --build build/default --target bench_release_verify
//   build/default/bench/bench_release_verify --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdint>
#include <string>

#include "LCReleaseManifest.h"
#include "LCReleaseVerifier.h"

namespace {

struct Key {
  Key() : pkey(EVP_EC_gen("P-256")) {}
  ~Key() { EVP_PKEY_free(pkey); }
  std::string PublicPEM() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, pkey);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(size));
    BIO_free(bio);
    return pem;
  }
  std::string SignBase64(const std::string& message) const {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    unsigned char der[80];
    size_t size = sizeof(der);
    EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, pkey);
    EVP_DigestSign(context, der, &size, reinterpret_cast<const unsigned char*>(message.data()), message.size());
    EVP_MD_CTX_free(context);
    unsigned char text[120];
    const int length = EVP_EncodeBlock(text, der, static_cast<int>(size));
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
  }
  EVP_PKEY* pkey;
};

void VerifySignedReply(benchmark::State& state) {
  const Key retired, current;
  const LCReleaseVerifier verifier(retired.PublicPEM() + current.PublicPEM(), "0");
  LCReleaseManifest manifest;
  manifest.m_sha256 = std::string(64, 'a');
  manifest.m_sizeBytes = 187654321;
  manifest.m_buildNumber = "11.0.0.1234";
  manifest.m_launchPath = "/Applications/Ostrel Clipvane 11.app/Contents/MacOS/Clipvane";
  manifest.m_expiresUTCSeconds = UINT64_MAX;
  std::string bytes, why, keyId;
  manifest.Canonical(bytes, why);
  // Half of all signatures have the s the verifier refuses; sign until one
  // has the other.
  std::string signature = current.SignBase64(bytes);
  for (int i = 0; i < 64 && !verifier.Verify(manifest, signature, 0, keyId, why); ++i)
    signature = current.SignBase64(bytes);
  for (auto _ : state) {
    const bool verified = verifier.Verify(manifest, signature, 0, keyId, why);
    benchmark::DoNotOptimize(verified);
    if (!verified) state.SkipWithError(why.c_str());
  }
}
BENCHMARK(VerifySignedReply)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
