// Item model of one candidate drop-down: the list holds only the references; the texts
// are made when the view asks for them, so refilling a list of two thousand candidates
// after every change costs a vector swap and one model reset.
#pragma once
#include <QAbstractListModel>
#include <vector>

#include "config/ctrlcfg.h"

class TRefListModel : public QAbstractListModel {
  Q_OBJECT
 public:
  // kindText: "Out", "In" or "Rd", as in the reference texts.
  TRefListModel(const CtrlCfg& cfg, const char* kindText, QObject* parent = nullptr);

  // Replaces every item at once; `items` receives the previous contents (reused storage).
  void SetItems(std::vector<IoRef>& items);
  void Clear();
  IoRef Value(int row) const;
  const std::vector<IoRef>& Items() const { return items_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  const CtrlCfg& cfg_;
  const char* kind_;
  std::vector<IoRef> items_;
};
