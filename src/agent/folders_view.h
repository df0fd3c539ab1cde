#pragma once
// The folder window: the folders Tallowick scans, each with its three
// switches (duplicates, screenshots, stale files) and a remove button, and
// a footer to add folders (several at once) and rescan. Every change goes
// to the agent at once, which stores it and hands it to the server for its
// next scan.

#include <QWidget>

#include <string>
#include <vector>

class QTableWidget;

namespace tallowick {

class Agent;

class FoldersView : public QWidget {
  Q_OBJECT

 public:
  // Table columns.
  enum Column { kFolder, kDuplicates, kScreenshots, kStale, kRemove, kColumns };

  explicit FoldersView(Agent& agent, QWidget* parent = nullptr);

  // Redraws the table from the agent's folders.
  void refresh();
  // The table (one row per folder, in order); for tests.
  QTableWidget* table() const { return table_; }

  // Asks for folders with a folder chooser that allows several at once;
  // the absolute paths chosen, none when cancelled.
  static std::vector<std::string> chooseFolders(QWidget* parent);

 private:
  Agent& agent_;
  QTableWidget* table_;
};

}  // namespace tallowick
