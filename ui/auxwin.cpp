// Help window, location dialog and trace window (placeholders until they land).
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBrowser>

#include "helpwin.h"
#include "lokdlg.h"
#include "tracewin.h"

int LoadedPage = -1;

THelpWin::THelpWin(QWidget* parent) : QDialog(parent), HelpEdit(new QTextBrowser(this)) {}
void THelpWin::ShowPage(int page) { LoadedPage = page; }

TLokalizDlg::TLokalizDlg(QWidget* parent)
    : QDialog(parent),
      Label2(new QLabel(this)),
      LokEdit(new QLineEdit(this)),
      OKBtn(new QPushButton(this)),
      CancelBtn(new QPushButton(this)) {}

TTraceWin::TTraceWin(QWidget* parent) : QWidget(parent), RapWin(new QPlainTextEdit(this)) {}
