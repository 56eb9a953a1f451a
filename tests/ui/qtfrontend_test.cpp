// CQtFrontEnd: sends from the worker wait for the GUI thread, sends on the GUI thread run inline,
// a closed front end never leaves a sender waiting, message boxes from other threads.
#include "ui/qtfrontend.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>

#include "platform/messages.h"

namespace {

platform::WindowMessage Msg(uint32_t code, const std::string& text = "") {
    platform::WindowMessage m;
    m.code = code;
    m.text = text;
    return m;
}

// Handles GUI events until `done` holds; false when it never does (a hung send fails the test
// instead of hanging it).
template <typename Pred>
bool PumpUntil(Pred done) {
    QDeadlineTimer deadline(20000);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

}  // namespace

TEST(QtFrontEnd, SendFromWorkerRunsOnGuiThreadAndReturnsItsResult) {
    std::atomic<QThread*> handledOn{nullptr};
    CQtFrontEnd front([](const platform::WindowMessage& m) { return m.code == platform::WM_LOGOUT_DONE; });
    front.SetTarget([&](const platform::WindowMessage& m) -> int64_t {
        handledOn = QThread::currentThread();
        return m.text == "Sync..." ? 42 : 7;
    });
    std::atomic<int64_t> result{-1}, swallowed{-1};
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        result = front.Send(Msg(platform::WM_SETMESSAGESTRING, "Sync..."));
        swallowed = front.Send(Msg(platform::WM_LOGOUT_DONE));
        finished = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return finished.load(); }));
    worker.join();
    EXPECT_EQ(result.load(), 42);  // only the handler on the GUI thread knows this value
    EXPECT_EQ(swallowed.load(), 1);
    EXPECT_EQ(handledOn.load(), QThread::currentThread());
}

TEST(QtFrontEnd, SendOnGuiThreadRunsInline) {
    int calls = 0;
    CQtFrontEnd front;
    front.SetTarget([&](const platform::WindowMessage&) -> int64_t { return ++calls; });
    EXPECT_EQ(front.Send(Msg(platform::WM_TRAY_TIP, "x")), 1);
    EXPECT_EQ(calls, 1);
}

TEST(QtFrontEnd, CloseReleasesWaitingSendersAndLaterOnesReturnAtOnce) {
    std::atomic<int> calls{0};
    CQtFrontEnd front;
    front.SetTarget([&](const platform::WindowMessage&) -> int64_t { return ++calls; });
    std::atomic<int64_t> first{-1}, later{-1};
    std::atomic<int> box{-1};
    std::thread worker([&] {
        first = front.Send(Msg(platform::WM_TRAY_TIP, "a"));  // waits: no events are handled
        later = front.Send(Msg(platform::WM_TRAY_TIP, "b"));
        box = front.MessageBox("q", "Kestrine", platform::MB_OKCANCEL);
    });
    // No event handling here: only Close can release the worker.
    front.Close();
    worker.join();
    EXPECT_EQ(first.load(), 0);
    EXPECT_EQ(later.load(), 0);
    EXPECT_EQ(box.load(), platform::IDCANCEL);
    EXPECT_FALSE(front.Post(Msg(platform::WM_TRAY_TIP, "c")));
    QCoreApplication::processEvents();  // a call queued before Close may still run, harmlessly
    EXPECT_LE(calls.load(), 1);
}

TEST(QtFrontEnd, PostsAreHandledInOrderOnTheGuiThread) {
    std::vector<std::string> seen;
    CQtFrontEnd front;
    front.SetTarget([&](const platform::WindowMessage& m) -> int64_t {
        EXPECT_EQ(QThread::currentThread(), qApp->thread());
        seen.push_back(m.text);
        return 0;
    });
    std::thread poster([&] {
        for (const char* t : {"1", "2", "3"})
            EXPECT_TRUE(front.Post(Msg(platform::WM_SETMESSAGESTRING, t)));
    });
    poster.join();
    EXPECT_TRUE(seen.empty());  // nothing runs on the posting thread
    EXPECT_TRUE(PumpUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "2", "3"}));
}

TEST(QtFrontEnd, MessageBoxFromWorkerIsAnsweredOnTheGuiThread) {
    struct Case {
        unsigned flags;
        QMessageBox::StandardButton click;
        QMessageBox::Icon icon;
        int answer;
    };
    const Case cases[] = {
        {platform::MB_OKCANCEL | platform::MB_ICONQUESTION, QMessageBox::Cancel, QMessageBox::Question,
         platform::IDCANCEL},
        {platform::MB_OKCANCEL | platform::MB_ICONQUESTION, QMessageBox::Ok, QMessageBox::Question,
         platform::IDOK},
        {platform::MB_YESNO | platform::MB_ICONWARNING, QMessageBox::No, QMessageBox::Warning,
         platform::IDNO},
        {platform::MB_OK | platform::MB_ICONERROR, QMessageBox::Ok, QMessageBox::Critical, platform::IDOK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        CQtFrontEnd front;
        std::atomic<int> answer{-1};
        std::thread worker([&] { answer = front.MessageBox("是否继续?", "提示", c.flags); });
        // The box runs its own loop on this thread, so a timer inside that loop answers it.
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QTimer clicker;
        QObject::connect(&clicker, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            box->button(c.click)->click();
        });
        clicker.start(5);
        EXPECT_TRUE(PumpUntil([&] { return answer.load() != -1; }));
        worker.join();
        EXPECT_EQ(answer.load(), c.answer);
        EXPECT_EQ(title, QString::fromUtf8("提示"));
        EXPECT_EQ(text, QString::fromUtf8("是否继续?"));
        EXPECT_EQ(icon, c.icon);
    }
}
