// IFolderBrowser: lets the user pick a folder (the update check's download folder, the data
// folder's new place). The Qt one is the desktop's folder dialog; the console one reads a path
// from standard input. Tests script their own. The header is free of Qt.
#pragma once

#include <iosfwd>
#include <string>

class IFolderBrowser {
  public:
    virtual ~IFolderBrowser() = default;
    // False when the user cancelled or chose nothing; otherwise *folder holds the chosen path.
    virtual bool Browse(const std::string& title, std::string* folder) = 0;
};

// Prints the title and reads one line; an empty line or the end of input cancels. The streams
// are the caller's and must outlive the browser.
class CConsoleFolderBrowser : public IFolderBrowser {
  public:
    CConsoleFolderBrowser(std::istream& in, std::ostream& out) : in_(in), out_(out) {}
    bool Browse(const std::string& title, std::string* folder) override;

  private:
    std::istream& in_;
    std::ostream& out_;
};

// QFileDialog::getExistingDirectory on the GUI thread; needs the QApplication.
class CQtFolderBrowser : public IFolderBrowser {
  public:
    bool Browse(const std::string& title, std::string* folder) override;
};
