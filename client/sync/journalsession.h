// CJournalSession: the file journal's database open for one phase of a pass (or one request), and
// closed again on every way out of it. It does not own the journal. Worker thread only, as the
// journal's database is.
#pragma once

class CFileJournal;

class CJournalSession {
  public:
    static constexpr const char* kOpenFailure = "Fail to open DB of FileJournaler";

    // Opens the journal's database; when it cannot, `failure` is logged under `tag` and the
    // session is not open (its end closes nothing).
    CJournalSession(CFileJournal* journal, const char* tag, const char* failure = kOpenFailure);
    ~CJournalSession();
    CJournalSession(const CJournalSession&) = delete;
    CJournalSession& operator=(const CJournalSession&) = delete;

    bool IsOpen() const { return open_; }

  private:
    CFileJournal* journal_;
    bool open_;
};
