// CUpdateCheck: asks the service for the newest client installer and the oldest one still
// allowed, and offers the newer one: a question, a folder to put it in, then the download. It
// runs silently at start-up (before the log and the worker exist; a true result ends that start)
// and interactively from the about box. The check needs no widgets: its questions, folder choice
// and download go through an IUpdatePrompt (Qt dialogs, the console, or a test's script).
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "platform/translate.h"

class IFolderBrowser;

class IUpdatePrompt {
  public:
    virtual ~IUpdatePrompt() = default;
    // A message box without owner window; platform::ShowMessageBox unless overridden.
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags);
    // The folder for the installer; false when the user cancelled.
    virtual bool BrowseFolder(const std::string& title, std::string* folder) = 0;
    // Downloads `url` into `targetPath` (a new file) and lets the user start it; returns when done.
    virtual void Download(const std::string& url, const std::string& fileName,
                          const std::string& targetPath) = 0;
};

class CUpdateCheck {
  public:
    static constexpr const char* kCaption = KESTRINE_TR_NOOP("CUpdateCheck", "Kestrine更新");
    // kCaption in the user's language and code page.
    static std::string Caption();
    static constexpr const char* kVersionPath = "/mirnportal/clientVersion";
    static constexpr const char* kMinVersionPath = "/mirnportal/clientMinAvailableVersion";
    static constexpr const char* kDownloadPath = "/mirnportal/downloadClient";
    static constexpr long kConnectTimeoutSeconds = 10;
    // A service that accepts the connection but never answers must not hold the start-up: each
    // answer (a short name) has to arrive within this time.
    static constexpr long kAnswerTimeoutMs = 30000;
    // The service's answers are installer names; anything longer is not one.
    static constexpr size_t kMaxAnswer = 1024;

    // `baseUrl` is "http://" + the service host; `silent` at start-up.
    CUpdateCheck(std::string baseUrl, bool silent, IUpdatePrompt* prompt);

    // True when the caller should end now: an installer was downloaded, or a required update was
    // declined.
    bool Check();

    // The name comparisons against this client's build (letter case ignored).
    static bool IsLatestNewer(const std::string& latest);
    static bool IsUpdateRequired(const std::string& oldest);
    // A name the service may give: "none", or one plain file name (no folder parts, no controls).
    static bool IsPlainName(const std::string& name);
    // GET `url` (user agent "Kestrine client", 10 s connect time-out, no proxy): true with the
    // body, trailing white space removed, when the transfer completed with status 200 within
    // `timeoutMs`.
    static bool Query(const std::string& url, std::string* answer, long timeoutMs = kAnswerTimeoutMs);
    // folder + "/" (unless it ends in one) + name.
    static std::string TargetPath(const std::string& folder, const std::string& name);

    // Shortens the answer time-out (tests).
    void SetAnswerTimeoutMs(long ms) { answerTimeoutMs_ = ms; }

    const std::string& Latest() const { return latest_; }
    const std::string& Oldest() const { return oldest_; }

  private:
    bool Ask(const char* path, std::string* answer);
    int Box(const std::string& text, unsigned flags);
    // Folder choice and download of `name`; false when the user cancelled the folder.
    bool Fetch(const std::string& name);

    std::string baseUrl_;
    std::string latest_, oldest_;
    bool silent_;
    long answerTimeoutMs_ = kAnswerTimeoutMs;
    IUpdatePrompt* prompt_;
};

// The console's prompt: the folder is typed, the download prints its progress lines and ends
// with the file's path (nothing is started from a terminal).
class CConsoleUpdatePrompt : public IUpdatePrompt {
  public:
    CConsoleUpdatePrompt(std::istream& in, std::ostream& out);
    ~CConsoleUpdatePrompt() override;
    bool BrowseFolder(const std::string& title, std::string* folder) override;
    void Download(const std::string& url, const std::string& fileName,
                  const std::string& targetPath) override;

  private:
    std::ostream& out_;
    std::unique_ptr<IFolderBrowser> browser_;
};
