// CConsoleLogin: the login dialog of the console front end. It asks for the account, the password
// (not echoed on a terminal), the computer name (prefilled with this computer's name) and whether
// to remember the password; writes them into the configuration as the dialog's OK does, asks the
// worker to sign in (WM_WORK_LOGIN with a reply window) and waits for WM_LOGIN_RESULT. After a
// failed sign-in it asks again; the end of input gives up, as the dialog's Cancel does. When the
// input is not a terminal it reads one plain line per question, so a script can sign in:
//   printf 'alice\nsecret\nlaptop\ny\n' | kestrine
// An empty answer takes the value shown in brackets. The worker and the streams are the caller's.
#pragma once

#include <atomic>
#include <iosfwd>
#include <string>

class CWork;

class CConsoleLogin {
  public:
    // `terminal`: the input is a terminal (the password is read with the echo off). `stop`, when
    // given, ends the dialog as soon as it is set (the application is exiting).
    CConsoleLogin(CWork* work, std::istream& in, std::ostream& out, bool terminal,
                  const std::atomic<bool>* stop = nullptr);

    // True once signed in; false when the input ended, the dialog was stopped or the worker could
    // not be asked.
    bool Run();

    // The fields as the dialog starts with them (from the configuration and the computer).
    const std::string& Account() const { return account_; }
    const std::string& ComputerName() const { return computer_; }
    bool Remember() const { return remember_; }

  private:
    // False at the end of input. An empty answer keeps *value.
    bool Ask(const std::string& label, bool secret, std::string* value);
    bool AskYesNo(const std::string& label, bool* value);
    // The checks of the dialog's OK; prints what is wrong.
    bool Complete(const std::string& account, const std::string& password, const std::string& computer);
    void Accept(const std::string& account, const std::string& password, const std::string& computer,
                bool remember);
    // Posts the sign-in and waits for its result: 1 signed in, 0 failed, -1 stopped or not posted.
    int SignIn();
    bool Stopped() const { return stop_ && stop_->load(); }
    void GiveUp();

    CWork* work_;
    std::istream& in_;
    std::ostream& out_;
    bool terminal_;
    const std::atomic<bool>* stop_;
    std::string account_, password_, computer_;
    bool remember_ = false;
};
