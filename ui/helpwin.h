// Help window: one read-only rich-text view showing one of three built-in pages.
#pragma once
#include <QDialog>

class QTextBrowser;

// Number of the page loaded last; -1 until the first page is shown.
extern int LoadedPage;

class THelpWin : public QDialog {
 public:
  explicit THelpWin(QWidget* parent = nullptr);
  QTextBrowser* HelpEdit;
  // Loads page 0, 1 or 2 and sets the caption; the same page twice keeps the view as it was.
  void ShowPage(int page);
};
