#include "platform/frontends.h"

#include <atomic>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/mainwindow.h"
#include "platform/messages.h"

using namespace platform;

namespace {

WindowMessage Msg(uint32_t code, int64_t w = 0, const std::string& text = "", const std::string& text2 = "") {
    WindowMessage m;
    m.code = code;
    m.wParam = w;
    m.text = text;
    m.text2 = text2;
    return m;
}

// Installs a main window for one test and removes it again.
struct MainWindowScope {
    explicit MainWindowScope(IMainWindow* w) { SetMainWindow(w); }
    ~MainWindowScope() { SetMainWindow(nullptr); }
};

}  // namespace

TEST(ConsoleFrontEnd, DescribeLines) {
    struct Case {
        WindowMessage msg;
        std::string line;
    };
    const Case cases[] = {
        {Msg(WM_TRAY_STATE, kTrayIdle), "[tray] idle"},
        {Msg(WM_TRAY_STATE, kTrayBusy, "Sync..."), "[tray] busy: Sync..."},
        {Msg(WM_TRAY_STATE, kTrayDone, "done"), "[tray] done: done"},
        {Msg(WM_TRAY_STATE, kTrayConnecting, "与服务器连接中断..."),
         "[tray] connecting: 与服务器连接中断..."},
        {Msg(WM_TRAY_TIP, 0, "Kestrine\nuser"), "[tip] Kestrine user"},
        {Msg(WM_TRAY_BALLOON, 0, "同步完成: a.txt...", "Kestrine"), "[balloon] Kestrine: 同步完成: a.txt..."},
        {Msg(WM_SETMESSAGESTRING, 0, "Sync finished"), "[status] Sync finished"},
        {Msg(WM_ITEM_NOT_SYNCED, 0, "/a\nb.txt", "could not upload"),
         "[not synced] /a b.txt: could not upload"},
        {Msg(WM_ITEM_NOT_SYNCED, 1), "[not synced] every item is synced"},
        {Msg(WM_TRAY_ICON, 1, "alice"), "[tray] signed in: alice"},
        {Msg(WM_TRAY_ICON, 0), "[tray] signed out"},
        {Msg(WM_LOGOUT_DONE), "[status] 注销成功"},
        {Msg(WM_LOGIN_RESULT, 1), ""},
        {Msg(12345), ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.line, ConsoleFrontEnd::Describe(c.msg)) << c.msg.code;
    }
}

TEST(ConsoleFrontEnd, SendWaitsForTheLoopAndPostKeepsOrder) {
    std::ostringstream out;
    std::atomic<int> handled{0};
    std::atomic<bool> looping{false};
    std::atomic<std::thread::id> loopThread;
    std::atomic<bool> loopEnded{false};
    ConsoleFrontEnd fe([&](const WindowMessage& m) {
        if (!loopEnded) {
            EXPECT_EQ(loopThread.load(), std::this_thread::get_id()) << "handled on the loop's thread";
        }
        if (m.code == WM_USER) {
            looping = true;
            return true;
        }
        if (m.code == WM_LOGIN_RESULT) {
            ++handled;
            return true;  // swallowed: not printed
        }
        return false;
    });
    fe.SetStreams(nullptr, &out);
    std::thread loop([&] {
        loopThread = std::this_thread::get_id();
        EXPECT_EQ(5, fe.Run());
    });
    // Once the loop has handled a message it runs: a Send from here then goes through it.
    ASSERT_TRUE(fe.Post(Msg(WM_USER)));
    while (!looping) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(fe.Post(Msg(WM_SETMESSAGESTRING, 0, "one")));
    ASSERT_TRUE(fe.Post(Msg(WM_SETMESSAGESTRING, 0, "two")));
    EXPECT_EQ(1, fe.Send(Msg(WM_LOGIN_RESULT)));
    EXPECT_EQ(1, handled.load()) << "Send returns after the handler ran";
    EXPECT_EQ(0, fe.Send(Msg(WM_SETMESSAGESTRING, 0, "three")));
    EXPECT_EQ("[status] one\n[status] two\n[status] three\n", out.str()) << "lines in order, each complete";
    fe.Quit(5);
    loop.join();
    loopEnded = true;
    EXPECT_FALSE(fe.Post(Msg(WM_SETMESSAGESTRING, 0, "late"))) << "no loop will take it";
    EXPECT_EQ(0, fe.Send(Msg(WM_SETMESSAGESTRING, 0, "inline")));
    EXPECT_NE(std::string::npos, out.str().find("[status] inline\n"));
}

TEST(ConsoleFrontEnd, SendFromTheLoopThreadDoesNotDeadlock) {
    std::ostringstream out;
    ConsoleFrontEnd* self = nullptr;
    ConsoleFrontEnd fe([&](const WindowMessage& m) {
        if (m.code == WM_TRAY_TIP) {
            self->Send(Msg(WM_SETMESSAGESTRING, 0, "nested"));
            self->Quit(0);
        }
        return false;
    });
    self = &fe;
    fe.SetStreams(nullptr, &out);
    ASSERT_TRUE(fe.Post(Msg(WM_TRAY_TIP, 0, "tip")));
    EXPECT_EQ(0, fe.Run());
    EXPECT_EQ("[status] nested\n[tip] tip\n", out.str());
}

TEST(ConsoleFrontEnd, MessageBoxAnswers) {
    struct Case {
        unsigned flags;
        std::string input;
        int answer;
    };
    const Case cases[] = {
        {MB_OK | MB_ICONERROR, "", IDOK},
        {MB_OKCANCEL, "y\n", IDOK},
        {MB_OKCANCEL, "OK\n", IDOK},
        {MB_OKCANCEL, " o \r\n", IDOK},
        {MB_OKCANCEL, "no\n", IDCANCEL},
        {MB_OKCANCEL, "", IDCANCEL},  // end of input
        {MB_YESNO | MB_ICONQUESTION, "Yes\n", IDYES},
        {MB_YESNO, "nope\n", IDNO},
        {MB_YESNO, "", IDNO},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.input);
        std::ostringstream out;
        ConsoleFrontEnd fe;
        fe.SetStreams(&in, &out);
        EXPECT_EQ(c.answer, fe.MessageBox("Text\nmore", "Kestrine", c.flags)) << c.flags << " " << c.input;
        EXPECT_EQ(0u, out.str().find("[box] Kestrine: Text more"));
    }
    // A plain OK box does not consume an answer meant for the next box.
    std::istringstream in("yes\n");
    std::ostringstream out;
    ConsoleFrontEnd fe;
    fe.SetStreams(&in, &out);
    EXPECT_EQ(IDOK, fe.MessageBox("info", "c", MB_OK));
    EXPECT_EQ(IDYES, fe.MessageBox("sure?", "c", MB_YESNO));
}

TEST(RecordingFrontEnd, RecordsAndAnswersFromScript) {
    RecordingFrontEnd rec;
    rec.ScriptAnswers({IDYES, IDCANCEL});
    std::thread worker([&] {
        rec.Send(Msg(WM_TRAY_STATE, kTrayBusy, "Sync..."));
        rec.Post(Msg(WM_SETMESSAGESTRING, 0, "Sync finished"));
        rec.Send(Msg(WM_TRAY_STATE, kTrayIdle));
    });
    WindowMessage got;
    ASSERT_TRUE(rec.WaitFor(WM_SETMESSAGESTRING, 10000, &got));
    EXPECT_EQ("Sync finished", got.text);
    worker.join();
    EXPECT_FALSE(rec.WaitFor(WM_LOGOUT_DONE, 20));
    EXPECT_EQ(3u, rec.Messages().size());
    EXPECT_EQ(2u, rec.MessagesWithCode(WM_TRAY_STATE).size());
    EXPECT_EQ((std::vector<std::string>{"Sync...", ""}), rec.Texts(WM_TRAY_STATE));
    EXPECT_EQ(IDYES, rec.MessageBox("q1", "c", MB_YESNO));
    EXPECT_EQ(IDCANCEL, rec.MessageBox("q2", "c", MB_OKCANCEL));
    EXPECT_EQ(IDOK, rec.MessageBox("info", "c", MB_OK)) << "script used up: plain OK box";
    EXPECT_EQ(IDCANCEL, rec.MessageBox("q3", "c", MB_OKCANCEL)) << "script used up: cancel";
    ASSERT_EQ(4u, rec.Boxes().size());
    EXPECT_EQ("q2", rec.Boxes()[1].text);
    EXPECT_EQ(unsigned(MB_OKCANCEL), rec.Boxes()[1].flags);
    rec.Clear();
    EXPECT_TRUE(rec.Messages().empty());
    EXPECT_TRUE(rec.Boxes().empty());
}

TEST(MainWindow, WithoutAFrontEnd) {
    SetMainWindow(nullptr);
    EXPECT_EQ(0, SendToMain(WM_SETMESSAGESTRING, 0, "dropped"));
    EXPECT_FALSE(PostToMain(WM_SETMESSAGESTRING, 0, "dropped"));
    EXPECT_EQ(IDOK, ShowMessageBox("t", "c", MB_OK | MB_ICONERROR));
    EXPECT_EQ(IDCANCEL, ShowMessageBox("t", "c", MB_OKCANCEL));
    EXPECT_EQ(IDCANCEL, ShowMessageBox("t", "c", MB_YESNO));
    EXPECT_FALSE(PostToWindow(kMainWindowHandle, Msg(WM_LOGIN_RESULT)));
}

TEST(MainWindow, WrappersAndReplyWindows) {
    RecordingFrontEnd rec;
    MainWindowScope scope(&rec);
    SendToMain(WM_TRAY_BALLOON, 0, "text", "title", 9);
    PostToMain(WM_TRAY_TIP, 3, "tip");
    rec.ScriptAnswers({IDNO});
    EXPECT_EQ(IDNO, ShowMessageBox("q", "c", MB_YESNO));
    auto msgs = rec.Messages();
    ASSERT_EQ(2u, msgs.size());
    EXPECT_EQ(WM_TRAY_BALLOON, msgs[0].code);
    EXPECT_EQ("text", msgs[0].text);
    EXPECT_EQ("title", msgs[0].text2);
    EXPECT_EQ(9, msgs[0].lParam);
    EXPECT_EQ(3, msgs[1].wParam);

    std::vector<uint32_t> dialog;
    WindowHandle h = RegisterWindow([&](const WindowMessage& m) { dialog.push_back(m.code); });
    WindowHandle h2 = RegisterWindow([](const WindowMessage&) {});
    EXPECT_GE(h, 2u);
    EXPECT_NE(h, h2);
    EXPECT_TRUE(PostToWindow(h, Msg(WM_LOGIN_RESULT, 1)));
    EXPECT_TRUE(PostToWindow(kMainWindowHandle, Msg(WM_LOGOUT_DONE)));
    EXPECT_EQ(std::vector<uint32_t>{WM_LOGIN_RESULT}, dialog);
    EXPECT_EQ(1u, rec.MessagesWithCode(WM_LOGOUT_DONE).size());
    UnregisterWindow(h);
    EXPECT_FALSE(PostToWindow(h, Msg(WM_LOGIN_RESULT))) << "a closed dialog gets nothing";
    EXPECT_FALSE(PostToWindow(0, Msg(WM_LOGIN_RESULT)));
    EXPECT_FALSE(PostToWindow(987654, Msg(WM_LOGIN_RESULT)));
    EXPECT_EQ(1u, dialog.size());
    UnregisterWindow(h2);
}
