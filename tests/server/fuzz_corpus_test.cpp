// The fuzz targets of the codecs and of the service's request handling, run over their seed
// corpora and over deterministic mutations of every seed (each prefix, single-byte changes), so
// builds without libFuzzer exercise them too. A broken invariant aborts inside the target.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "../../fuzz/codec_targets.h"
#include "../../fuzz/server_targets.h"
#include "support/tempdir.h"

namespace {

std::map<std::string, std::string> Seeds(const std::string& target) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(KESTRINE_SOURCE_DIR "/fuzz/corpus/" + target)) {
        std::ifstream in(e.path(), std::ios::binary);
        out[e.path().filename().string()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return out;
}

// The seed, up to `prefixes` of its prefixes and `flips` single-byte changes.
std::vector<std::string> Variants(const std::string& seed, size_t prefixes, size_t flips) {
    std::vector<std::string> out{seed};
    size_t step = std::max<size_t>(1, seed.size() / prefixes);
    for (size_t n = 0; n < seed.size(); n += step)
        out.push_back(seed.substr(0, n));
    static const char kValues[] = {'\0', '\xff', '<', '>', '"', '-', '\r', '\n', '&', '9', '/', '='};
    uint32_t x = static_cast<uint32_t>(seed.size()) * 2654435761u + 7;
    for (size_t i = 0; i < flips && !seed.empty(); ++i) {
        x = x * 1664525u + 1013904223u;
        std::string v = seed;
        v[(x >> 8) % v.size()] = kValues[i % sizeof kValues];
        out.push_back(std::move(v));
    }
    return out;
}

int Feed(int (*target)(const uint8_t*, size_t), const std::string& input) {
    return target(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

TEST(FuzzCorpus, CodecTargetsSurviveEverySeedAndItsMutations) {
    size_t runs = 0;
    for (const char* corpus : {"soap_envelope", "mtom", "server_request"}) {
        auto seeds = Seeds(corpus);
        ASSERT_FALSE(seeds.empty()) << corpus;
        for (const auto& [name, seed] : seeds) {
            for (const std::string& v : Variants(seed, 400, 400)) {
                EXPECT_EQ(Feed(fuzztarget::SoapEnvelope, v), 0);
                EXPECT_EQ(Feed(fuzztarget::Mtom, v), 0);
                ++runs;
            }
        }
    }
    EXPECT_GT(runs, 1000u);
}

class ServerCorpus : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(fx.Open(dir.Path())); }
    std::string Send(const std::string& input) {
        std::string result;
        fuzztarget::ServerRequest(fx, reinterpret_cast<const uint8_t*>(input.data()), input.size(), &result);
        return result;
    }
    testsupport::TempDir dir;
    fuzztarget::ServerFixture fx;
};

TEST_F(ServerCorpus, SeedsReachTheOperationsBehindTheHeadCheck) {
    auto seeds = Seeds("server_request");
    const char* order[] = {"host.txt",         "login.txt",        "folder.txt",      "upload.txt",
                           "upload_chunk.txt", "chunk_done.txt",   "list.txt",        "all.txt",
                           "describe.txt",     "download.txt",     "delta_chunk.txt", "rename.txt",
                           "heartbeat.txt",    "inline_chunk.txt", "remove.txt",      "remove_chunk.txt"};
    ASSERT_EQ(seeds.size(), std::size(order)) << "every seed has its place in the script";
    for (const char* name : order) {
        ASSERT_EQ(seeds.count(name), 1u) << name;
        EXPECT_EQ(Send(seeds[name]), "OK") << name;
    }
    // The delta rebuilt "abcd" from the stored "abc" and a literal.
    std::string bytes;
    EXPECT_TRUE(fx.chunks.Read(fx.abcdKey, &bytes));
    EXPECT_EQ(bytes, "abcd");
}

TEST_F(ServerCorpus, MutatedRequestsAlwaysGetAFramedReply) {
    size_t runs = 0;
    for (const auto& [name, seed] : Seeds("server_request")) {
        for (const std::string& v : Variants(seed, 40, 60)) {
            std::string result = Send(v);
            EXPECT_TRUE(result == "OK" || result.compare(0, 5, "fail ") == 0) << name << ": " << result;
            ++runs;
        }
    }
    EXPECT_GT(runs, 1000u);
}

}  // namespace
