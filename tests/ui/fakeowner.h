// Test doubles for the dialogs' owner: a scripted folder browser and an owner that keeps one
// worker, counts the restart steps a data-folder move asks for and builds the next worker with
// a factory (a fresh CWork initialised from the registry's root by default).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sync/work.h"
#include "ui/dialogowner.h"
#include "ui/folderbrowser.h"

namespace testsupport {

class ScriptedBrowser : public IFolderBrowser {
  public:
    bool give = false;  // false: the user cancels
    std::string folder;
    std::vector<std::string> titles;
    bool Browse(const std::string& title, std::string* out) override {
        titles.push_back(title);
        if (!give)
            return false;
        *out = folder;
        return true;
    }
};

class FakeOwner : public IDialogOwner {
  public:
    std::unique_ptr<CWork> work;
    ScriptedBrowser browser;
    int logsClosed = 0;
    int restarts = 0;
    // What DeleteWorker found: the worker's thread had ended (a stop without waiting succeeds).
    bool threadEndedAtDelete = false;
    std::function<std::unique_ptr<CWork>()> makeWorker = [] {
        auto w = std::make_unique<CWork>();
        return w->Init() == 1 ? std::move(w) : nullptr;
    };

    CWork* GetWorker() const override { return work.get(); }
    IFolderBrowser* GetFolderBrowser() override { return &browser; }
    void CloseLog() override { ++logsClosed; }
    void DeleteWorker() override {
        threadEndedAtDelete = work && work->Stop(0);
        work.reset();
    }
    bool InitApp() override {
        ++restarts;
        work = makeWorker();
        return work != nullptr;
    }
};

}  // namespace testsupport
