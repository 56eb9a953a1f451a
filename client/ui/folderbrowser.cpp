#include "ui/folderbrowser.h"

#include <QFileDialog>
#include <istream>
#include <ostream>

#include "ui/uitext.h"

bool CConsoleFolderBrowser::Browse(const std::string& title, std::string* folder) {
    out_ << title << std::endl;
    std::string line;
    if (!std::getline(in_, line))
        return false;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    if (line.empty())
        return false;
    *folder = line;
    return true;
}

bool CQtFolderBrowser::Browse(const std::string& title, std::string* folder) {
    const QString picked = QFileDialog::getExistingDirectory(nullptr, ui::FromAnsi(title));
    if (picked.isEmpty())
        return false;
    *folder = ui::ToAnsi(picked);
    return !folder->empty();
}
