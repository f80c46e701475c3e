// Location dialog of the report: one edit field, "Zapisz" and "Anuluj".
#pragma once
#include <QDialog>

class QLineEdit;
class QPushButton;
class QLabel;

class TLokalizDlg : public QDialog {
 public:
  explicit TLokalizDlg(QWidget* parent = nullptr);
  QLabel* Label2;
  QLineEdit* LokEdit;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;
};
