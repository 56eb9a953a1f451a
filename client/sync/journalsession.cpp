// CJournalSession: the file journal's database open for the length of a scope.
#include "sync/journalsession.h"

#include "core/log.h"
#include "journal/filejournal.h"

CJournalSession::CJournalSession(CFileJournal* journal, const char* tag, const char* failure)
    : journal_(journal), open_(journal->OpenDB() != 0) {
    if (!open_)
        Log(kLogError, tag, "%s", failure);
}

CJournalSession::~CJournalSession() {
    if (open_)
        journal_->CloseDB();
}
