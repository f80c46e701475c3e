#include "reflistmodel.h"

#include <QString>

#include "editor_model.h"

TRefListModel::TRefListModel(const CtrlCfg& cfg, const char* kindText, QObject* parent)
    : QAbstractListModel(parent), cfg_(cfg), kind_(kindText) {}

void TRefListModel::SetItems(std::vector<IoRef>& items) {
  beginResetModel();
  items_.swap(items);
  endResetModel();
}

void TRefListModel::Clear() {
  if (items_.empty()) return;
  beginResetModel();
  items_.clear();
  endResetModel();
}

IoRef TRefListModel::Value(int row) const {
  return row >= 0 && size_t(row) < items_.size() ? items_[size_t(row)] : kNoRef;
}

int TRefListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(items_.size());
}

QVariant TRefListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0 || size_t(index.row()) >= items_.size()) return {};
  IoRef ref = items_[size_t(index.row())];
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return QString::fromStdString(RefItemText(cfg_, ref, kind_));
    case Qt::UserRole:
      return QVariant::fromValue<quint16>(ref);
    default:
      return {};
  }
}
