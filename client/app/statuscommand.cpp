#include "app/statuscommand.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <memory>
#include <ostream>
#include <utility>

#include "platform/controlsocket.h"
#include "platform/messages.h"
#include "platform/translate.h"
#include "ui/commands.h"

namespace statuscmd {

namespace {

// ---- Writing the answer.

void AppendString(std::string* out, const std::string& s) {
    out->push_back('"');
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out->append(esc);
        } else {
            out->push_back(static_cast<char>(c));  // names are passed on in the locale's bytes
        }
    }
    out->push_back('"');
}

const char* ResultWord(CSyncStatus::PassResult r) {
    switch (r) {
        case CSyncStatus::PassResult::kSucceeded:
            return "succeeded";
        case CSyncStatus::PassResult::kUnfinished:
            return "unfinished";
        case CSyncStatus::PassResult::kFailed:
            return "failed";
        case CSyncStatus::PassResult::kNone:
            break;
    }
    return "";
}

std::string UtcTime(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// ---- Reading an answer back: a small JSON reader, bounded in depth (the answer is another
// process's output).

struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool b = false;
    double number = 0;
    std::string str;
    std::vector<Json> items;
    // An object's members as two lists, index for index: a pair holding a Json would need the
    // type complete here.
    std::vector<std::string> keys;
    std::vector<Json> values;

    const Json* Get(const std::string& key) const {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key)
                return &values[i];
        }
        return nullptr;
    }
    std::string Str(const std::string& key) const {
        const Json* v = Get(key);
        return v && v->kind == kString ? v->str : std::string();
    }
    double Num(const std::string& key) const {
        const Json* v = Get(key);
        return v && v->kind == kNumber ? v->number : 0;
    }
};

class Reader {
  public:
    explicit Reader(const std::string& text) : s_(text) {}
    bool ReadDocument(Json* out) {
        if (!Value(out, 0))
            return false;
        Space();
        return pos_ == s_.size();
    }

  private:
    static constexpr int kMaxDepth = 16;
    void Space() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }
    bool Literal(const char* word) {
        const std::string w(word);
        if (s_.compare(pos_, w.size(), w) != 0)
            return false;
        pos_ += w.size();
        return true;
    }
    bool String(std::string* out) {
        if (pos_ >= s_.size() || s_[pos_] != '"')
            return false;
        ++pos_;
        while (pos_ < s_.size()) {
            const char c = s_[pos_++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (pos_ >= s_.size())
                return false;
            const char e = s_[pos_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out->push_back(e);
                    break;
                case 'n':
                    out->push_back('\n');
                    break;
                case 't':
                    out->push_back('\t');
                    break;
                case 'r':
                    out->push_back('\r');
                    break;
                case 'b':
                    out->push_back('\b');
                    break;
                case 'f':
                    out->push_back('\f');
                    break;
                case 'u': {
                    if (pos_ + 4 > s_.size())
                        return false;
                    unsigned code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const char h = s_[pos_++];
                        code <<= 4;
                        if (h >= '0' && h <= '9')
                            code |= static_cast<unsigned>(h - '0');
                        else if (h >= 'a' && h <= 'f')
                            code |= static_cast<unsigned>(h - 'a' + 10);
                        else if (h >= 'A' && h <= 'F')
                            code |= static_cast<unsigned>(h - 'A' + 10);
                        else
                            return false;
                    }
                    // Only the controls the writer escapes; a shown text has no use for more.
                    out->push_back(code < 0x80 ? static_cast<char>(code) : '?');
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }
    bool Value(Json* out, int depth) {
        if (depth > kMaxDepth)
            return false;
        Space();
        if (pos_ >= s_.size())
            return false;
        const char c = s_[pos_];
        if (c == '"') {
            out->kind = Json::kString;
            return String(&out->str);
        }
        if (c == '{' || c == '[') {
            const bool object = c == '{';
            out->kind = object ? Json::kObject : Json::kArray;
            ++pos_;
            Space();
            if (pos_ < s_.size() && s_[pos_] == (object ? '}' : ']')) {
                ++pos_;
                return true;
            }
            for (;;) {
                Json v;
                std::string key;
                if (object) {
                    Space();
                    if (!String(&key))
                        return false;
                    Space();
                    if (pos_ >= s_.size() || s_[pos_++] != ':')
                        return false;
                }
                if (!Value(&v, depth + 1))
                    return false;
                if (object) {
                    out->keys.push_back(std::move(key));
                    out->values.push_back(std::move(v));
                } else {
                    out->items.push_back(std::move(v));
                }
                Space();
                if (pos_ >= s_.size())
                    return false;
                const char sep = s_[pos_++];
                if (sep == ',')
                    continue;
                return sep == (object ? '}' : ']');
            }
        }
        if (Literal("true") || Literal("false")) {
            out->kind = Json::kBool;
            out->b = s_[pos_ - 1] == 'e' && s_[pos_ - 2] == 'u';
            return true;
        }
        if (Literal("null"))
            return true;
        const size_t start = pos_;
        while (pos_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '-' ||
                                    s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E' || s_[pos_] == '+'))
            ++pos_;
        if (pos_ == start)
            return false;
        out->kind = Json::kNumber;
        try {
            out->number = std::stod(s_.substr(start, pos_ - start));
        } catch (...) {
            return false;
        }
        return true;
    }

    const std::string& s_;
    size_t pos_ = 0;
};

std::string Bytes(double n) {
    char buf[32];
    if (n >= 1024.0 * 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f GiB", n / (1024.0 * 1024 * 1024));
    else if (n >= 1024.0 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f MiB", n / (1024.0 * 1024));
    else if (n >= 1024.0)
        std::snprintf(buf, sizeof buf, "%.1f KiB", n / 1024.0);
    else
        std::snprintf(buf, sizeof buf, "%.0f B", n);
    return buf;
}

std::string StateText(const std::string& state) {
    if (state == "starting")
        return platform::Tr("Status", "正在启动");
    if (state == "signed out")
        return platform::Tr("Status", "未登录");
    if (state == "connecting")
        return platform::Tr("Status", "正在连接服务器");
    if (state == "syncing")
        return platform::Tr("Status", "正在同步");
    if (state == "up to date")
        return platform::Tr("Status", "已是最新");
    if (state == "unfinished")
        return platform::Tr("Status", "同步未完成");
    if (state == "idle")
        return platform::Tr("Status", "空闲");
    return state;
}

std::string ActionText(const std::string& action) {
    if (action == "upload")
        return platform::Tr("Status", "上传");
    if (action == "download")
        return platform::Tr("Status", "下载");
    if (action == "delete")
        return platform::Tr("Status", "删除");
    return action;
}

std::string ResultText(const std::string& result) {
    if (result == "succeeded")
        return platform::Tr("Status", "成功");
    if (result == "unfinished")
        return platform::Tr("Status", "未完成");
    if (result == "failed")
        return platform::Tr("Status", "失败");
    return result;
}

}  // namespace

std::string StateOf(const Facts& f) {
    if (!f.started)
        return "starting";
    if (f.status.trayState == platform::kTrayConnecting)
        return "connecting";
    if (f.status.passRunning || f.status.trayState == platform::kTrayBusy)
        return "syncing";
    if (!f.signedIn)
        return "signed out";
    switch (f.status.lastPassResult) {
        case CSyncStatus::PassResult::kSucceeded:
            return f.notSynced.empty() ? "up to date" : "unfinished";
        case CSyncStatus::PassResult::kUnfinished:
        case CSyncStatus::PassResult::kFailed:
            return "unfinished";
        case CSyncStatus::PassResult::kNone:
            break;
    }
    return "idle";
}

std::string StatusJson(const Facts& f) {
    const CSyncStatus::Snapshot& s = f.status;
    std::string out = "{\"state\":";
    AppendString(&out, StateOf(f));
    out += ",\"signed_in\":";
    out += f.signedIn ? "true" : "false";
    out += ",\"account\":";
    AppendString(&out, f.signedIn ? f.account : std::string());
    out += ",\"current\":";
    if (s.currentItem.empty()) {
        out += "null";
    } else {
        out += "{\"action\":";
        AppendString(&out, s.currentAction);
        out += ",\"item\":";
        AppendString(&out, s.currentItem);
        out += ",\"done_bytes\":" + std::to_string(s.doneBytes);
        out += ",\"total_bytes\":" + std::to_string(s.totalBytes) + "}";
    }
    out += ",\"last_pass\":";
    if (s.lastPassResult == CSyncStatus::PassResult::kNone) {
        out += "null";
    } else {
        out += "{\"time\":";
        AppendString(&out, UtcTime(s.lastPassEnd));
        out += ",\"result\":";
        AppendString(&out, ResultWord(s.lastPassResult));
        out += "}";
    }
    out += ",\"not_synced_count\":" + std::to_string(f.notSynced.size());
    out += ",\"not_synced\":[";
    const size_t listStart = out.size();
    for (size_t i = 0; i < f.notSynced.size(); ++i) {
        std::string item = i ? ",{\"path\":" : "{\"path\":";
        AppendString(&item, f.notSynced[i].path);
        item += ",\"reason\":";
        AppendString(&item, f.notSynced[i].reason);
        item += "}";
        if (out.size() - listStart + item.size() > kMaxListedBytes)
            break;  // the count above still tells how many there are
        out += item;
    }
    out += "],\"conflict_copies\":[";
    for (size_t i = 0; i < s.conflictCopies.size(); ++i) {
        if (i)
            out += ",";
        AppendString(&out, s.conflictCopies[i]);
    }
    out += "]}";
    return out;
}

bool DescribeStatus(const std::string& json, std::string* text) {
    Json doc;
    if (!Reader(json).ReadDocument(&doc) || doc.kind != Json::kObject || !doc.Get("state"))
        return false;
    std::string t;
    t += platform::Tr("Status", "状态：") + StateText(doc.Str("state")) + "\n";
    if (!doc.Str("account").empty())
        t += platform::Tr("Status", "账户：") + doc.Str("account") + "\n";
    const Json* cur = doc.Get("current");
    if (cur && cur->kind == Json::kObject) {
        t += platform::Tr("Status", "当前项目：") + ActionText(cur->Str("action")) + " " + cur->Str("item");
        if (cur->Num("total_bytes") > 0)
            t += " (" + Bytes(cur->Num("done_bytes")) + " / " + Bytes(cur->Num("total_bytes")) + ")";
        t += "\n";
    }
    const Json* last = doc.Get("last_pass");
    if (last && last->kind == Json::kObject)
        t += platform::Tr("Status", "上次同步：") + last->Str("time") + " " +
             ResultText(last->Str("result")) + "\n";
    else
        t += platform::Tr("Status", "上次同步：尚未同步") + "\n";
    t += platform::Tr("Status", "未同步的项目：") +
         std::to_string(static_cast<long long>(doc.Num("not_synced_count"))) + "\n";
    if (const Json* items = doc.Get("not_synced"); items && items->kind == Json::kArray) {
        for (const Json& item : items->items)
            t += "  " + item.Str("path") + " - " + item.Str("reason") + "\n";
    }
    const Json* copies = doc.Get("conflict_copies");
    const size_t nCopies = copies && copies->kind == Json::kArray ? copies->items.size() : 0;
    t += platform::Tr("Status", "本次运行产生的冲突副本：") + std::to_string(nCopies) + "\n";
    for (size_t i = 0; i < nCopies; ++i) {
        if (copies->items[i].kind == Json::kString)
            t += "  " + copies->items[i].str + "\n";
    }
    *text = std::move(t);
    return true;
}

namespace {

void PrintUsage(std::ostream& out) {
    out << platform::Tr("Status", "用法：kestrine [命令] [选项]") << "\n\n"
        << platform::Tr("Status", "不带命令时启动客户端（每个用户只运行一个）。") << "\n\n"
        << platform::Tr("Status", "命令：") << "\n"
        << "  status          " << platform::Tr("Status", "显示运行中的客户端的状态") << "\n"
        << "  status --json   " << platform::Tr("Status", "以 JSON 格式显示状态") << "\n"
        << "  sync            " << platform::Tr("Status", "请运行中的客户端立即同步") << "\n\n"
        << platform::Tr("Status", "选项：") << "\n"
        << "  -h, --help      " << platform::Tr("Status", "显示此帮助并退出") << "\n"
        << "  --version       " << platform::Tr("Status", "显示版本并退出") << "\n\n"
        << platform::Tr("Status", "退出码：0 成功，1 失败，2 命令行错误，3 客户端没有运行") << "\n";
}

int UsageError(std::ostream& err, const std::string& what) {
    err << "kestrine: " << platform::Tr("Status", "无法识别的参数：") << what << "\n"
        << platform::Tr("Status", "用 kestrine --help 查看用法。") << "\n";
    return kExitUsage;
}

// Asks the running instance; prints why not and returns the exit code when there is no answer.
int Ask(platform::control::Request request, std::string* answer, std::ostream& err) {
    const std::string path = platform::ControlSocketPath();
    if (path.empty()) {
        err << "kestrine: " << platform::Tr("Status", "无法使用控制套接字的文件夹") << "\n";
        return kExitFailed;
    }
    switch (platform::AskInstance(path, request, answer)) {
        case platform::ControlAnswer::kAnswered:
            return kExitOk;
        case platform::ControlAnswer::kNoInstance:
            err << "kestrine: " << platform::Tr("Status", "Kestrine 客户端没有运行") << "\n";
            return kExitNoInstance;
        case platform::ControlAnswer::kFailed:
            break;
    }
    err << "kestrine: " << platform::Tr("Status", "运行中的客户端没有回答") << "\n";
    return kExitFailed;
}

int RunStatus(bool json, std::ostream& out, std::ostream& err) {
    std::string answer;
    if (int code = Ask(platform::control::Request::kStatus, &answer, err); code != kExitOk)
        return code;
    std::string text;
    if (!DescribeStatus(answer, &text)) {
        err << "kestrine: " << platform::Tr("Status", "运行中的客户端没有回答") << "\n";
        return kExitFailed;
    }
    out << (json ? answer + "\n" : text);
    return kExitOk;
}

int RunSync(std::ostream& out, std::ostream& err) {
    std::string answer;
    if (int code = Ask(platform::control::Request::kSync, &answer, err); code != kExitOk)
        return code;
    Json doc;
    const bool read = Reader(answer).ReadDocument(&doc);
    if (read && doc.Str("sync") == "requested") {
        out << platform::Tr("Status", "已请求同步") << "\n";
        return kExitOk;
    }
    if (read && doc.Str("sync") == "running") {
        out << platform::Tr("Status", "同步已在进行中") << "\n";
        return kExitOk;
    }
    err << "kestrine: " << platform::Tr("Status", "现在无法同步：客户端未登录或尚未就绪") << "\n";
    return kExitFailed;
}

}  // namespace

std::optional<int> RunCommandLine(const std::vector<std::string>& args, std::ostream& out,
                                  std::ostream& err) {
    if (args.empty())
        return std::nullopt;
    const std::string& first = args[0];
    if (first == "--version" && args.size() == 1) {
        out << "kestrine " << ui::kClientBuild << "\n";
        return kExitOk;
    }
    if ((first == "--help" || first == "-h") && args.size() == 1) {
        PrintUsage(out);
        return kExitOk;
    }
    if (first == "status") {
        if (args.size() == 1)
            return RunStatus(false, out, err);
        if (args.size() == 2 && args[1] == "--json")
            return RunStatus(true, out, err);
        return UsageError(err, args[args.size() == 2 ? 1 : 2]);
    }
    if (first == "sync") {
        if (args.size() == 1)
            return RunSync(out, err);
        return UsageError(err, args[1]);
    }
    return UsageError(err, args.size() > 1 && (first == "--version" || first == "--help" || first == "-h")
                               ? args[1]
                               : first);
}

}  // namespace statuscmd
