#include "cli.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "server.h"
#include "util/util.h"
#include "wire.h"

namespace kserver {

namespace {

namespace fs = std::filesystem;

const char* kUsage =
    "usage: kestrine-server COMMAND --data DIR ...\n"
    "  serve --data DIR [--listen HOST:PORT] [--advertise URL] [--client-version NAME]\n"
    "        [--client-min-version NAME] [--client-file PATH] [--no-client-sha256]\n"
    "        [--compress-threshold BYTES] [--max-body BYTES] [--stall-ms MS]\n"
    "        [--control-token TOKEN] [--no-digest] [--quiet]\n"
    "  add-user --data DIR NAME PASSWORD [--root NAME] [--telephone TEXT] [--email TEXT]\n"
    "  share --data DIR OWNER FOLDER USER\n"
    "  put --data DIR USER LOCALPATH SERVERPATH\n"
    "  get --data DIR USER SERVERPATH LOCALPATH\n"
    "  ls --data DIR USER\n"
    "  rm --data DIR USER SERVERPATH\n"
    "Server paths are relative to the account's root folder.\n";

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::vector<std::string> flags;
    bool Has(const std::string& flag) const {
        return std::find(flags.begin(), flags.end(), flag) != flags.end();
    }
    std::string Get(const std::string& name, const std::string& def = "") const {
        auto it = options.find(name);
        return it == options.end() ? def : it->second;
    }
};

bool ParseArgs(int argc, char** argv, Args* out, std::string* error) {
    static const char* kValued[] = {"--data",
                                    "--listen",
                                    "--advertise",
                                    "--client-version",
                                    "--client-min-version",
                                    "--client-file",
                                    "--compress-threshold",
                                    "--max-body",
                                    "--stall-ms",
                                    "--control-token",
                                    "--root",
                                    "--telephone",
                                    "--email"};
    static const char* kFlags[] = {"--no-digest", "--quiet", "--no-client-sha256"};
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a.compare(0, 2, "--") != 0) {
            out->positional.push_back(a);
            continue;
        }
        bool known = false;
        for (const char* v : kValued) {
            if (a == v) {
                if (i + 1 >= argc) {
                    *error = a + " needs a value";
                    return false;
                }
                out->options[a] = argv[++i];
                known = true;
            }
        }
        for (const char* f : kFlags) {
            if (a == f) {
                out->flags.push_back(a);
                known = true;
            }
        }
        if (!known) {
            *error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "kestrine-server: %s\n", text.c_str());
    return 1;
}

int FailReason(const std::string& what, int reason) {
    return Fail(what + ": " + CUtil::EnglishReasonText(reason) + " (" + std::to_string(reason) + ")");
}

int64_t FileTimeOf(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 10000000 + st.st_mtim.tv_nsec / 100 +
           116444736000000000LL;
}

int Serve(const Args& args) {
    ServerOptions o;
    o.dataDir = args.Get("--data");
    std::string listen = args.Get("--listen", "127.0.0.1:8089");
    size_t colon = listen.rfind(':');
    int64_t port = -1;
    if (colon == std::string::npos || !ParseInt64(listen.substr(colon + 1), &port) || port < 0 ||
        port > 65535)
        return Fail("--listen wants HOST:PORT");
    o.host = listen.substr(0, colon);
    o.port = static_cast<int>(port);
    o.advertise = args.Get("--advertise");
    o.clientVersion = args.Get("--client-version", "none");
    o.clientMinVersion = args.Get("--client-min-version", "none");
    o.clientFile = args.Get("--client-file");
    o.publishClientDigest = !args.Has("--no-client-sha256");
    if (args.options.count("--control-token")) {
        o.controlToken = args.Get("--control-token");
        if (!IsValidControlToken(o.controlToken))
            return Fail("--control-token wants at least " + std::to_string(kMinControlToken) +
                        " visible characters without spaces");
    }
    int64_t v;
    if (!args.Get("--compress-threshold").empty()) {
        if (!ParseInt64(args.Get("--compress-threshold"), &v))
            return Fail("bad --compress-threshold");
        o.compressThreshold = v;
    }
    if (!args.Get("--max-body").empty()) {
        if (!ParseInt64(args.Get("--max-body"), &v) || v < 1024)
            return Fail("bad --max-body");
        o.maxBody = static_cast<size_t>(v);
    }
    if (!args.Get("--stall-ms").empty()) {
        if (!ParseInt64(args.Get("--stall-ms"), &v) || v < 0 || v > 3600000)
            return Fail("bad --stall-ms");
        o.stallMs = static_cast<int>(v);
    }
    o.requireDigest = !args.Has("--no-digest");
    o.logRequests = !args.Has("--quiet");

    // SIGINT/SIGTERM are taken by a waiting thread, which stops the server.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    CKestrineServer server(o);
    std::string error;
    if (!server.Open(&error))
        return Fail(error);
    int bound = server.Bind(&error);
    if (bound < 0)
        return Fail(error);
    // The port line stays first: callers read it to find the service.
    std::printf("listening on %s:%d\n", o.host.c_str(), bound);
    if (o.controlToken.empty())
        std::printf("control token: %s\n", server.ControlToken().c_str());
    std::fflush(stdout);
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&set, &sig);
        server.Stop();
    });
    server.Run();
    ::kill(::getpid(), SIGTERM);  // releases the waiter when the server ended by itself
    waiter.join();
    std::printf("stopped\n");
    std::fflush(stdout);
    return 0;
}

bool OpenStore(const Args& args, CServerStore* store, CChunkStore* chunks, std::string* error) {
    std::string data = args.Get("--data");
    if (data.empty()) {
        *error = "--data DIR is required";
        return false;
    }
    return store->Open(data, error) && chunks->Open(data, error);
}

int FindUser(CServerStore& store, const std::string& name, kserver::Account* out) {
    if (!store.FindAccount(name, out))
        return Fail("no account \"" + name + "\"");
    return 0;
}

std::string ServerPath(const kserver::Account& a, const std::string& rel) {
    std::string r = rel;
    while (!r.empty() && r.front() == '/')
        r.erase(r.begin());
    while (!r.empty() && r.back() == '/')
        r.pop_back();
    return r.empty() ? a.root : a.root + "/" + r;
}

int PutFile(CServerStore& store, CChunkStore& chunks, const kserver::Account& a, const std::string& local,
            const std::string& serverPath) {
    struct stat st;
    if (::lstat(local.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return Fail("cannot read \"" + local + "\"");
    std::ifstream in(local, std::ios::binary);
    if (!in)
        return Fail("cannot open \"" + local + "\"");
    std::vector<ChunkRef> refs;
    std::string buf(static_cast<size_t>(kChunkSize), '\0');
    int64_t total = 0;
    while (true) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        size_t n = static_cast<size_t>(in.gcount());
        if (n == 0)
            break;
        std::string_view bytes(buf.data(), n);
        ChunkRecord rec;
        std::string md5 = Md5Hex(bytes.data(), bytes.size());
        if (!store.EnsureChunk(md5, static_cast<int64_t>(n), a.id, &rec))
            return Fail("database error");
        if (!rec.stored) {
            std::string error;
            if (!chunks.Write(rec.storageKey, bytes, &error) || !store.MarkChunkStored(rec.storageKey))
                return Fail("cannot store a chunk: " + error);
        }
        refs.push_back({md5, static_cast<int64_t>(n), rec.storageKey});
        total += static_cast<int64_t>(n);
        if (n < buf.size())
            break;
    }
    if (in.bad())
        return Fail("cannot read \"" + local + "\"");
    int r = store.PutFile(a, serverPath, total, FileTimeOf(st), refs, kCliHost);
    return r == kOk ? 0 : FailReason("put " + serverPath, r);
}

int PutTree(CServerStore& store, CChunkStore& chunks, const kserver::Account& a, const std::string& local,
            const std::string& serverPath) {
    struct stat st;
    if (::lstat(local.c_str(), &st) != 0)
        return Fail("no such file or folder \"" + local + "\"");
    if (S_ISREG(st.st_mode))
        return PutFile(store, chunks, a, local, serverPath);
    if (!S_ISDIR(st.st_mode))
        return 0;  // links and special files are not synced
    int r = store.MakeFolder(a, serverPath, 1, kCliHost, true);
    if (r != kOk)
        return FailReason("mkdir " + serverPath, r);
    std::vector<fs::path> children;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(local, ec))
        children.push_back(e.path());
    if (ec)
        return Fail("cannot list \"" + local + "\": " + ec.message());
    std::sort(children.begin(), children.end());
    for (const fs::path& c : children) {
        int rc = PutTree(store, chunks, a, c.string(), serverPath + "/" + c.filename().string());
        if (rc != 0)
            return rc;
    }
    return 0;
}

int GetFile(CServerStore& store, CChunkStore& chunks, const kserver::Account& a,
            const std::string& serverPath, const std::string& local) {
    Listed l;
    int r = store.Describe(a, serverPath, &l);
    if (r != kOk)
        return FailReason("get " + serverPath, r);
    std::error_code ec;
    fs::path target(local);
    if (target.has_parent_path())
        fs::create_directories(target.parent_path(), ec);
    // Written chunk by chunk beside the target, renamed into place when complete.
    std::string tmp = local + ".kestrine-part";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out)
            return Fail("cannot write \"" + tmp + "\"");
        for (const ChunkRef& c : l.chunks) {
            std::string bytes;
            if (!chunks.Read(c.storageKey, &bytes) ||
                Md5Hex(bytes.data(), bytes.size()) != ascii::Lowered(c.md5)) {
                out.close();
                fs::remove(tmp, ec);
                return Fail("chunk " + c.storageKey + " of " + serverPath + " is missing or damaged");
            }
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        if (!out.flush()) {
            out.close();
            fs::remove(tmp, ec);
            return Fail("cannot write \"" + tmp + "\"");
        }
    }
    fs::rename(tmp, local, ec);
    if (ec) {
        fs::remove(tmp, ec);
        return Fail("cannot write \"" + local + "\"");
    }
    return 0;
}

int Get(CServerStore& store, CChunkStore& chunks, const kserver::Account& a, const std::string& rel,
        const std::string& local) {
    std::string serverPath = ServerPath(a, rel);
    Location loc;
    int r = store.Resolve(a, serverPath, &loc);
    if (r != kOk)
        return FailReason("get " + rel, r);
    Listed l;
    r = store.Describe(a, serverPath, &l);
    if (r != kIsFolder)
        return GetFile(store, chunks, a, serverPath, local);
    // A folder: every entry below it, in the account's own (root) spelling.
    std::vector<Listed> all;
    if ((r = store.Listing(a, true, &all)) != kOk)
        return FailReason("get " + rel, r);
    std::string prefix = ascii::Lowered(serverPath) + "/";
    std::error_code ec;
    fs::create_directories(local, ec);
    for (size_t i = 1; i < all.size(); ++i) {
        if (ascii::Lowered(all[i].path).compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string target = local + "/" + all[i].path.substr(prefix.size());
        if (all[i].dir) {
            fs::create_directories(target, ec);
        } else if (int rc = GetFile(store, chunks, a, all[i].path, target); rc != 0) {
            return rc;
        }
    }
    return 0;
}

}  // namespace

int RunCli(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, &args, &error)) {
        std::fprintf(stderr, "kestrine-server: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (args.Get("--data").empty()) {
        std::fprintf(stderr, "kestrine-server: --data DIR is required\n%s", kUsage);
        return 2;
    }
    const std::vector<std::string>& p = args.positional;
    static const std::map<std::string, size_t> kArity = {
        {"serve", 0}, {"add-user", 2}, {"share", 3}, {"put", 3}, {"get", 3}, {"ls", 1}, {"rm", 2}};
    auto arity = kArity.find(cmd);
    if (arity == kArity.end() || p.size() != arity->second) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (cmd == "serve")
        return Serve(args);

    CServerStore store;
    CChunkStore chunks;
    if (!OpenStore(args, &store, &chunks, &error))
        return Fail(error);
    if (cmd == "add-user") {
        std::string root = args.Get("--root", p[0]);
        int r = store.AddAccount(p[0], p[1], root, args.Get("--telephone"), args.Get("--email"), &error);
        return r == kOk ? 0 : Fail(error);
    }
    kserver::Account a;
    if (int rc = FindUser(store, p[0], &a); rc != 0)
        return rc;
    if (cmd == "share") {
        kserver::Account member;
        if (int rc = FindUser(store, p[2], &member); rc != 0)
            return rc;
        int64_t id = 0;
        std::string folder = p[1];
        while (!folder.empty() && folder.front() == '/')
            folder.erase(folder.begin());
        int r = store.Share(a, folder, member, &id, &error);
        if (r != kOk)
            return Fail(error);
        std::printf("%lld\n", static_cast<long long>(id));
        return 0;
    }
    if (cmd == "put")
        return PutTree(store, chunks, a, p[1], ServerPath(a, p[2]));
    if (cmd == "get")
        return Get(store, chunks, a, p[1], p[2]);
    if (cmd == "ls") {
        std::vector<Listed> all;
        int r = store.Listing(a, true, &all);
        if (r != kOk)
            return FailReason("ls", r);
        for (size_t i = 1; i < all.size(); ++i) {
            std::printf("%s %s %lld %lld\n", all[i].path.substr(a.root.size() + 1).c_str(),
                        all[i].dir ? "dir" : "file", static_cast<long long>(all[i].size),
                        static_cast<long long>(all[i].mtime));
        }
        return 0;
    }
    if (cmd == "rm") {
        int r = store.Remove(a, ServerPath(a, p[1]), kCliHost);
        return r == kOk ? 0 : FailReason("rm " + p[1], r);
    }
    return 2;
}

}  // namespace kserver
