// Trace window form. Nothing in the program creates it; it is kept as a form only.
#include "tracewin.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

TTraceWin::TTraceWin(QWidget* parent) : QWidget(parent), RapWin(new QPlainTextEdit(this)) {
  setObjectName("TraceWin");
  setWindowTitle("TraceWin");
  setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);
  resize(242, 816);
  move(0, 0);

  RapWin->setObjectName("RapWin");
  RapWin->setReadOnly(true);
  RapWin->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RapWin->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(RapWin);
}
