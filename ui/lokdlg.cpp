// Location dialog: asks where the controller is installed before a report is saved.
#include "lokdlg.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

namespace {

// Selects the whole text each time the edit gets the focus, however it got it. The
// selection is deferred so that the mouse press which gave the focus cannot undo it.
class SelectAllOnFocus : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* obj, QEvent* ev) override {
    if (ev->type() == QEvent::FocusIn) {
      auto* edit = static_cast<QLineEdit*>(obj);
      QTimer::singleShot(0, edit, [edit] { edit->selectAll(); });
    }
    return false;
  }
};

}  // namespace

TLokalizDlg::TLokalizDlg(QWidget* parent)
    : QDialog(parent),
      Label2(new QLabel("Opis lokalizacji kontrolera:", this)),
      LokEdit(new QLineEdit(this)),
      OKBtn(new QPushButton("Zapisz", this)),
      CancelBtn(new QPushButton("Anuluj", this)) {
  setObjectName("LokalizDlg");
  setWindowTitle("Lokalizacja");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(486, 118);

  Label2->setObjectName("Label2");
  Label2->move(16, 28);
  Label2->adjustSize();

  // The edit starts at 152 and ends at 449; a wider label font pushes its left edge right
  // rather than letting the label run under it.
  LokEdit->setObjectName("LokEdit");
  const int editLeft = std::max(152, Label2->geometry().right() + 6);
  LokEdit->setGeometry(editLeft, 24, 449 - editLeft, 21);
  LokEdit->setMaxLength(80);
  LokEdit->installEventFilter(new SelectAllOnFocus(LokEdit));

  CancelBtn->setObjectName("CancelBtn");
  CancelBtn->setGeometry(116, 72, 75, 25);
  // With the focus on "Anuluj", Enter presses it, as Esc would; elsewhere "Zapisz" stays
  // the default.
  CancelBtn->setAutoDefault(true);
  OKBtn->setObjectName("OKBtn");
  OKBtn->setGeometry(284, 72, 75, 25);
  OKBtn->setDefault(true);

  setTabOrder(LokEdit, OKBtn);
  setTabOrder(OKBtn, CancelBtn);
  LokEdit->setFocus();

  // Names a screen reader speaks (the label stands beside the edit, not inside it).
  LokEdit->setAccessibleName(QStringLiteral("Opis lokalizacji kontrolera"));
  OKBtn->setAccessibleName(QStringLiteral("Zapisz"));
  CancelBtn->setAccessibleName(QStringLiteral("Anuluj"));
  Label2->setBuddy(LokEdit);

  connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}
