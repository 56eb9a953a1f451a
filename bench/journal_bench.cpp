// The file journal as a pass uses it, with the logger at info level (the default):
//   BENCH journal_row_ops <n> ops/s        a phase writing 10,000 new rows (AddUpdated) and then
//                                          taking each on disk (OnDisk), one statement at a time,
//                                          every row durable when its call returns (goal >= 20,000)
//   BENCH journal_addupdated_ops, journal_ondisk_ops   the two halves of that phase
//   BENCH journal_row_ops_cpu <n> ops/s    the phase's rate per second of processor time
//   BENCH journal_loadmap_100k <seconds> s LoadMap of a journal of 100,000 rows (goal < 1)
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/logger.h"
#include "journal/filejournal.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string Key32(size_t n) {
    char buf[33];
    std::snprintf(buf, sizeof buf, "%032zx", n * 2654435761u);
    return buf;
}

std::string PathOf(size_t i) {
    return "u1/Projects/folder" + std::to_string(i % 1000) + "/Document " + std::to_string(i) + ".docx";
}

CFileInfo Record(size_t i) {
    CFileInfo f(PathOf(i), 0, 100000 + static_cast<int64_t>(i));
    f.modifyTime = 133000000000000000LL + static_cast<int64_t>(i);
    f.chunkListText = Key32(i);
    return f;
}

// Fills the table with `count` on-disk rows in one transaction (set-up, not measured).
bool Populate(const std::string& dbFile, size_t count) {
    sqlite3* db = nullptr;
    if (sqlite3_open(dbFile.c_str(), &db) != SQLITE_OK)
        return false;
    sqlite3_stmt* stmt = nullptr;
    bool ok = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db,
                                 "INSERT INTO file_journal_table (server_path, active_server_path, "
                                 "active_chunklist, actvie_mtime, active_size, active_dir, on_disk) "
                                 "VALUES(?1, ?2, ?3, ?4, ?5, 0, 1)",
                                 -1, &stmt, nullptr) == SQLITE_OK;
    for (size_t i = 0; ok && i < count; ++i) {
        CFileInfo f = Record(i);
        std::string key = CFileJournal::MakeKey(f.path);
        sqlite3_reset(stmt);
        sqlite3_bind_text(stmt, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, f.path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 3, f.chunkListText.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, 4, f.modifyTime);
        sqlite3_bind_int64(stmt, 5, f.size);
        ok = sqlite3_step(stmt) == SQLITE_DONE;
    }
    sqlite3_finalize(stmt);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

}  // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/journal_bench.XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    CLogger logger;
    if (!logger.Open(dir + "/bench.log")) {
        std::fprintf(stderr, "cannot open the log\n");
        return 1;
    }
    logger.SetLevel(kLogInfo);
    SetAppLogger(&logger);

    int status = 0;
    constexpr size_t kRows = 10000;
    {
        CFileJournal journal;
        const std::string db = dir + "/rows.db";
        if (!journal.Init(db) || !journal.OpenDB()) {
            std::fprintf(stderr, "cannot open the journal\n");
            status = 1;
        } else {
            std::vector<CFileInfo> records;
            std::vector<std::string> keys;
            for (size_t i = 0; i < kRows; ++i) {
                records.push_back(Record(i));
                keys.push_back(CFileJournal::MakeKey(records.back().path));
            }
            auto t0 = std::chrono::steady_clock::now();
            const std::clock_t cpu0 = std::clock();
            for (const CFileInfo& f : records)
                status |= journal.AddUpdated(f) ? 0 : 1;
            const double added = Seconds(t0);
            t0 = std::chrono::steady_clock::now();
            for (const std::string& k : keys)
                status |= journal.OnDisk(k) ? 0 : 1;
            const double onDisk = Seconds(t0);
            const double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
            journal.CloseDB();
            if (status != 0) {
                std::fprintf(stderr, "a row operation failed\n");
            } else {
                std::printf("BENCH journal_row_ops %.0f ops/s\n", 2.0 * kRows / (added + onDisk));
                std::printf("BENCH journal_addupdated_ops %.0f ops/s\n", kRows / added);
                std::printf("BENCH journal_ondisk_ops %.0f ops/s\n", kRows / onDisk);
                // The same phase per second of this process's processor time: what the rate
                // would be without other programs competing for the processor.
                std::printf("BENCH journal_row_ops_cpu %.0f ops/s\n", 2.0 * kRows / cpu);
            }
        }
        ::unlink(db.c_str());
    }
    {
        constexpr size_t kMapRows = 100000;
        CFileJournal journal;
        const std::string db = dir + "/map.db";
        if (!journal.Init(db) || !Populate(db, kMapRows)) {
            std::fprintf(stderr, "cannot fill the journal\n");
            status = 1;
        } else {
            const auto t0 = std::chrono::steady_clock::now();
            const bool ok = journal.OpenDB() && journal.LoadMap();
            journal.CloseDB();
            const double secs = Seconds(t0);
            if (!ok || journal.MapSize() != kMapRows) {
                std::fprintf(stderr, "LoadMap failed (%zu rows)\n", journal.MapSize());
                status = 1;
            } else {
                std::printf("BENCH journal_loadmap_100k %.3f s\n", secs);
            }
        }
        ::unlink(db.c_str());
    }
    SetAppLogger(nullptr);
    ::unlink((dir + "/bench.log").c_str());
    ::unlink((dir + "/rows.db-wal").c_str());
    ::unlink((dir + "/rows.db-shm").c_str());
    ::unlink((dir + "/map.db-wal").c_str());
    ::unlink((dir + "/map.db-shm").c_str());
    ::rmdir(dir.c_str());
    return status;
}
