// Host for benchmarks: counts error boxes and answers every dialog with Cancel.
#pragma once
#include <QString>

#include "uihost.h"

class QuietHost : public UiHost {
 public:
  int errors = 0;
  QString last;
  void ErrorBox(QWidget*, const QString&, const QString& text) override {
    ++errors;
    last = text;
  }
  int ExecDialog(QDialog*) override { return 0; }
  QString SaveFileName(QWidget*, const QString&, const QString&, const QString&) override {
    return {};
  }
  void OpenUrl(const QString&) override {}
};
