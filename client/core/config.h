// CConfig: the client's settings (account, computer registration, service endpoints, folders,
// log level, proxy). Values live in memory and in the table "config_table" of the client
// database (the remembered password in the desktop keyring when one answers, see
// platform/keyring.h); the database is opened only for the length of each load or store, so the journals
// can use the same file in between. The GUI and worker threads both call it: each public
// operation holds one lock. Owned by CWork.
#pragma once

#include <memory>
#include <mutex>
#include <string>

struct sqlite3;

class CConfig {
  public:
    // The keys of the table, in their in-memory slots. proxy_flag is kept apart as an int.
    enum Key {
        kSchemaVersion,
        kHostId,
        kHostName,
        kLoginUser,
        kLoginPasswd,  // in memory as typed, in the table as Base64
        kInstallPath,
        kRootPath,
        kServerRoot,
        kLogLevel,
        kPassport,
        kDomain,
        kBackServer,
        kTransmiterServer,  // the key is spelt "transmiter_server"
        kHeartbeatServer,
        kAuthServer,
        kProxyType,
        kProxyAddr,
        kProxyUser,
        kProxyPasswd,
        kKeyCount
    };
    static const char* KeyName(Key key);
    static constexpr const char* kTableName = "config_table";

    struct Proxy {
        std::string type, addr, user, passwd;
    };

    CConfig();
    ~CConfig();
    CConfig(const CConfig&) = delete;
    CConfig& operator=(const CConfig&) = delete;

    int Init(const std::string& dbPathUtf8);  // once, with the UTF-8 database path
    int OpenDB();
    void CloseDB();
    // Callers bracket these two with OpenDB / CloseDB.
    int GetValueByKey(const std::string& key, std::string* value);
    int SetValueByKey(const std::string& key, const std::string& value);

    int Load();  // creates the table when missing, reads every row, closes
    // Reads the settings from a copy of a database file's bytes, row by row as Load() reads the
    // file (which stays untouched). 0 for bytes that hold no readable table.
    int LoadImage(const std::string& bytes);
    int Store();       // writes the account, host, folder and endpoint values, closes
    int StoreProxy();  // writes the five proxy values, closes
    // Opens, reads one value straight from the table and closes, as one locked operation.
    int ReadStoredValue(const std::string& key, std::string* value);

    std::string Get(Key key) const;
    void Set(Key key, const std::string& value);
    int GetProxyFlag() const;
    void SetProxyFlag(const std::string& text);  // 1 for exactly "1", else 0
    Proxy GetProxy() const;                      // all empty unless the proxy flag is 1
    int GetNotify();                             // 1 on first use
    void SetNotify(int on);
    std::string Path() const;

    // The service host as "host:port": $KESTRINE_SERVICE_HOST, else "127.0.0.1:8089".
    static std::string ServiceHost();
    // The cookie domain: "." + the service host's name without its port.
    static std::string ServiceDomain();

  private:
    struct DbCloser {
        void operator()(sqlite3* db) const;
    };
    enum class Lookup { Found, Missing, Failed };
    Lookup _Lookup(const std::string& key, std::string* value);
    int _Exec(const char* sql, const char* tag, const char* errorPrefix);
    static int _RowHandler(void* self, int columns, char** values, char** names);
    // Every row of the table into the in-memory values; the file and image loads share it.
    int _ReadRows(sqlite3* db, const char* tag);
    int _OpenDB();
    int _SetValueByKey(const std::string& key, const std::string& value);
    // The remembered password and the keyring (database open): a copy in the table moves to the
    // keyring; an empty table value is looked up there.
    void _PasswordFromKeyring();
    // The password as the table keeps it: empty when the keyring took it.
    std::string _PasswordForTable();
    // Overwrites what the table's old password value left in the file and its write-ahead log.
    void _ScrubFreedPages();

    mutable std::recursive_mutex mu_;
    std::unique_ptr<sqlite3, DbCloser> db_;
    std::string path_;
    std::string values_[kKeyCount];
    int proxyFlag_ = 0;
    int notify_ = -1;               // -1 until first asked
    std::string keyringUser_;       // the account of keyringHolds_
    std::string keyringHolds_;      // the password the keyring holds for the account, as last seen
    bool passwordUnknown_ = false;  // the keyring could not be asked: an empty password means nothing
};
