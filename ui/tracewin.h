// Trace window form; nothing creates or shows it.
#pragma once
#include <QWidget>

class QPlainTextEdit;

class TTraceWin : public QWidget {
 public:
  explicit TTraceWin(QWidget* parent = nullptr);
  QPlainTextEdit* RapWin;
};
