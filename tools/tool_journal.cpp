// kestrine-tool journal DBFILE: the rows of the file journal, one per line, in key order. Each
// line holds the table's columns after the row id, separated by tabs:
//   server_path active_server_path active_chunklist actvie_mtime active_size active_dir
//   updated_server_path updated_chunklist updated_mtime updated_size updated_dir on_disk
// Values appear as stored; NULL is written \N, and "\", tabs, line ends and other control
// characters are escaped (\\, \t, \n, \r, \xHH), so a line is always one row. The database is
// opened read-only: the tool never creates or changes it.
#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tool.h"

namespace {

constexpr const char* kColumns[] = {"server_path",         "active_server_path", "active_chunklist",
                                    "actvie_mtime",        "active_size",        "active_dir",
                                    "updated_server_path", "updated_chunklist",  "updated_mtime",
                                    "updated_size",        "updated_dir",        "on_disk"};

std::string Escape(const unsigned char* text, int length) {
    if (text == nullptr)
        return "\\N";
    std::string out;
    out.reserve(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) {
        const unsigned char c = text[i];
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", c);
                    out += hex;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    return out;
}

int RunJournal(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrine-tool journal DBFILE\n");
        return 2;
    }
    const char* file = argv[1];
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(file, &raw, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, "kestrine-tool journal: cannot open \"%s\": %s\n", file,
                     raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        return 1;
    }
    std::string sql = "SELECT ";
    for (const char* c : kColumns)
        sql += std::string(c) + (c == kColumns[11] ? " " : ", ");
    sql += "FROM file_journal_table ORDER BY server_path";
    sqlite3_stmt* stmtRaw = nullptr;
    if (sqlite3_prepare_v2(raw, sql.c_str(), -1, &stmtRaw, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "kestrine-tool journal: no file journal in \"%s\": %s\n", file,
                     sqlite3_errmsg(raw));
        sqlite3_finalize(stmtRaw);
        return 1;
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(stmtRaw, sqlite3_finalize);
    while ((rc = sqlite3_step(stmtRaw)) == SQLITE_ROW) {
        std::string line;
        for (int i = 0; i < 12; ++i) {
            const unsigned char* text = sqlite3_column_text(stmtRaw, i);
            if (i > 0)
                line.push_back('\t');
            line += Escape(text, sqlite3_column_bytes(stmtRaw, i));
        }
        line.push_back('\n');
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    if (rc != SQLITE_DONE) {
        std::fprintf(stderr, "kestrine-tool journal: reading \"%s\": %s\n", file, sqlite3_errmsg(raw));
        return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

KESTRINE_TOOL_COMMAND(journal, "journal DBFILE", RunJournal);
