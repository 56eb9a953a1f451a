// CNotSyncedWindow: the list of items the passes skipped, each with its path and the reason it is
// not synced, opened from the tray's "N items not synced" entry. It shows what its source returns
// when it opens and whenever Refresh is called (the frame calls it as the worker reports); items
// leave the list as they succeed. The frame owns the window. GUI thread only.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class QLabel;
class QTreeWidget;

class CNotSyncedWindow : public QDialog {
    Q_OBJECT

  public:
    // Path and reason of each item, in the order shown.
    using Source = std::function<std::vector<std::pair<std::string, std::string>>()>;
    explicit CNotSyncedWindow(Source source, QWidget* parent = nullptr);

    void Refresh();
    QTreeWidget* List() const { return list_; }
    QLabel* Summary() const { return summary_; }

  private:
    Source source_;
    QLabel* summary_ = nullptr;
    QTreeWidget* list_ = nullptr;
};
