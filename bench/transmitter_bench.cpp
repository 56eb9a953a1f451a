// CTransmitter moving 256 MiB of distinct 4 MiB chunks to and from the reference service over
// loopback, against the curl program moving a 256 MiB file to and from the same service's plain
// HTTP blob path in the same run. The upload goes through the real negotiation (upload_file,
// then chunk_uploaded after each chunk), but only the transmitter's calls are timed; every
// downloaded chunk is checked against its key by the transmitter itself. Each side runs three
// rounds, interleaved, and the best round counts, so a busy machine skews both sides alike.
// Prints "BENCH transmitter_upload_vs_curl <ratio> x" and "BENCH transmitter_download_vs_curl
// <ratio> x" (transmitter throughput over curl's; goal >= 0.5) and the four throughputs in MB/s.
// TRS_BENCH_DIR sets the folder for the service's data and curl's files (default /tmp).
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "server.h"
#include "service/soapchannel.h"
#include "service/transmitter.h"
#include "util/util.h"

namespace {

constexpr size_t kTotal = 256u << 20;
constexpr size_t kChunk = 4194304;
constexpr int kRounds = 3;
constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-pw";

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs curl with the arguments; seconds taken, or -1 when it failed.
double RunCurl(std::vector<std::string> args) {
    std::vector<char*> argv;
    std::string program = "curl";
    argv.push_back(program.data());
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    double t0 = Now();
    pid_t pid = fork();
    if (pid == 0) {
        execvp("curl", argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return Now() - t0;
}

class Bench {
  public:
    Bench(const std::string& base, const std::string& passport, const std::string& host)
        : base_(base), back_(soapchannel::BackProfile()) {
        ok_ = back_.Init(base + "/axis2/services/mirn_service_bs", kUser, kPassword, host, "") &&
              trs_.Init(base + "/axis2/services/mirn_service_trs", kUser, kPassword, host, "");
        back_.SetCredentials(kUser, kPassword, passport);
    }
    bool Ok() const { return ok_; }

    // Uploads `data` as one new file through the negotiation; seconds spent in the transmitter,
    // or -1. `chunks` receive keys and storage keys.
    double Upload(const std::string& name, const std::string& data, std::vector<CChunkInfo>* chunks) {
        chunks->clear();
        std::string listText;
        for (size_t off = 0; off < data.size(); off += kChunk) {
            CChunkInfo c;
            CUtil::GetMd5String(data.data() + off, kChunk, &c.key);
            c.size = static_cast<int32_t>(kChunk);
            chunks->push_back(c);
            listText += c.key + ",";
        }
        std::string path = std::string(kUser) + "/" + name;
        auto offer = back_.NewRequest("upload_file");
        pugi::xml_node u = offer->Body();
        u.append_attribute("file_name") = path.c_str();
        u.append_attribute("dir_flag") = "no";
        u.append_attribute("file_size") = std::to_string(data.size()).c_str();
        u.append_attribute("modify_time") = "130000000000000000";
        u.append_attribute("new_chunk_num") = std::to_string(chunks->size()).c_str();
        u.append_attribute("new_file_flag") = "yes";
        u.append_attribute("old_chunk_num") = "0";
        for (const CChunkInfo& c : *chunks) {
            pugi::xml_node n = u.append_child("new_chunk");
            n.append_attribute("MD5") = c.key.c_str();
            n.append_attribute("chunk_size") = std::to_string(c.size).c_str();
            n.append_attribute("block_num") = "0";
        }
        CChunkInfo next;
        std::string op = _NextOp(*offer, &next);
        double spent = 0;
        while (op == "upload_chunk") {
            auto it = std::find_if(chunks->begin(), chunks->end(),
                                   [&](const CChunkInfo& c) { return c.key == next.key; });
            if (it == chunks->end())
                return -1;
            it->storageKey = next.storageKey;
            size_t index = static_cast<size_t>(it - chunks->begin());
            CChunkBuffer buffer(kChunk);
            std::memcpy(buffer.GetData(), data.data() + index * kChunk, kChunk);
            buffer.SetSize(kChunk);
            std::string ack;
            double t0 = Now();
            bool sent = trs_.UploadChunk(*it, buffer, &ack, false);
            spent += Now() - t0;
            if (!sent)
                return -1;
            auto done = back_.NewRequest("chunk_uploaded");
            pugi::xml_node d = done->Body();
            d.append_attribute("MD5") = it->key.c_str();
            d.append_attribute("storage_key") = it->storageKey.c_str();
            d.append_attribute("file_name") = path.c_str();
            pugi::xml_node l = d.append_child("chunk_list");
            l.append_attribute("chunk_num") = std::to_string(chunks->size()).c_str();
            l.text().set(listText.c_str());
            op = _NextOp(*done, &next);
        }
        return op == "all_chunk_exist" ? spent : -1;
    }

    // Downloads every chunk into a fresh buffer, as the download path asks for them; seconds, or
    // -1 when a chunk failed or differs from `data`.
    double Download(const std::vector<CChunkInfo>& chunks, const std::string& data) {
        double spent = 0;
        for (size_t i = 0; i < chunks.size(); ++i) {
            CChunkBuffer buffer;
            std::string ack;
            double t0 = Now();
            bool got = trs_.DownloadChunk(chunks[i], &ack, &buffer);
            spent += Now() - t0;
            if (!got || std::memcmp(buffer.GetData(), data.data() + i * kChunk, kChunk) != 0)
                return -1;
        }
        return spent;
    }

  private:
    std::string _NextOp(CSoapRequest& request, CChunkInfo* next) {
        CSoapReply reply;
        pugi::xml_node body;
        std::string ack;
        if (back_.Call(request, "Bench::Back", "time out!", &ack, &reply, &body) != CSoapChannel::Result::kOk)
            return std::string();
        pugi::xml_node op = body.child("next_op");
        next->key = op.child("MD5").text().get();
        next->storageKey = op.child("storage_key").text().get();
        return op.attribute("op").value();
    }

    std::string base_;
    CSoapChannel back_;
    CTransmitter trs_;
    bool ok_ = false;
};

double Best(const std::vector<double>& times) {
    double best = -1;
    for (double t : times) {
        if (t <= 0)
            return -1;
        best = best < 0 ? t : std::min(best, t);
    }
    return best;
}

}  // namespace

int main() {
    const char* root = getenv("TRS_BENCH_DIR");
    std::string tmpl = std::string(root ? root : "/tmp") + "/kestrine-trs-bench-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        return 1;
    const std::string dir = tmpl;
    kserver::ServerOptions options;
    options.dataDir = dir + "/data";
    options.port = 0;
    options.logRequests = false;
    int status = 1;
    {
        kserver::CKestrineServer server(options);
        std::string error;
        if (!server.Start(&error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        kserver::CServerStore& store = server.Store();
        store.AddAccount(kUser, kPassword, kUser, "", "", &error);
        kserver::Account account;
        store.FindAccount(kUser, &account);
        std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
        Bench bench(base, store.IssuePassport(account.id), store.CreateHost(account.id, "BENCH"));

        std::string data(kTotal, '\0');
        std::mt19937_64 rng(42);
        for (size_t i = 0; i < data.size(); i += 8) {
            uint64_t v = rng();
            std::memcpy(&data[i], &v, 8);
        }
        std::string file = dir + "/blob.bin";
        std::string fileBack = dir + "/blob-back.bin";
        std::ofstream(file, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        std::string blob = base + "/bench/blob/bench.bin";

        // Upload rounds: each round's chunks are new to the service (it keeps every chunk once).
        std::vector<double> curlPut, trsPut, curlGet, trsGet;
        std::vector<CChunkInfo> chunks;
        bool ok = bench.Ok();
        for (int round = 0; ok && round < kRounds; ++round) {
            curlPut.push_back(RunCurl({"-sS", "--fail", "-o", "/dev/null", "-T", file, blob}));
            for (size_t off = 0; off < kTotal; off += kChunk)
                data[off] = static_cast<char>(round);
            trsPut.push_back(bench.Upload("big" + std::to_string(round) + ".bin", data, &chunks));
            ok = curlPut.back() > 0 && trsPut.back() > 0;
        }
        for (int round = 0; ok && round < kRounds; ++round) {
            curlGet.push_back(RunCurl({"-sS", "--fail", "-o", fileBack, blob}));
            trsGet.push_back(bench.Download(chunks, data));
            ok = curlGet.back() > 0 && trsGet.back() > 0;
        }
        if (ok) {
            double mb = static_cast<double>(kTotal) / 1e6;
            std::printf("BENCH transmitter_curl_put %.1f MB/s\n", mb / Best(curlPut));
            std::printf("BENCH transmitter_upload %.1f MB/s\n", mb / Best(trsPut));
            std::printf("BENCH transmitter_upload_vs_curl %.3f x\n", Best(curlPut) / Best(trsPut));
            std::printf("BENCH transmitter_curl_get %.1f MB/s\n", mb / Best(curlGet));
            std::printf("BENCH transmitter_download %.1f MB/s\n", mb / Best(trsGet));
            std::printf("BENCH transmitter_download_vs_curl %.3f x\n", Best(curlGet) / Best(trsGet));
            status = 0;
        } else {
            std::fprintf(stderr, "a transfer failed (curl or the transmitter)\n");
        }
        server.Stop();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
