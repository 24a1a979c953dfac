#include "CacheListModel.h"

#include "SizeText.h"

#include <QDateTime>
#include <QLocale>

namespace quillet::app {

CacheListModel::CacheListModel(QObject *parent) : QAbstractTableModel(parent) {}

int CacheListModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(_rows.size());
}

int CacheListModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : ColumnCount; }

const BrowserItem *CacheListModel::item(int row) const {
    if (row < 0 || static_cast<size_t>(row) >= _rows.size())
        return nullptr;
    return &_rows[static_cast<size_t>(row)];
}

int CacheListModel::rowOf(RowId id) const {
    for (size_t i = 0; i < _rows.size(); ++i)
        if (_rows[i].id == id)
            return static_cast<int>(i);
    return -1;
}

QVariant CacheListModel::data(const QModelIndex &index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const BrowserItem *row = item(index.row());
    if (!row)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        switch (index.column()) {
        case NameColumn: {
            const std::string_view name = row->displayName();
            return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
        }
        case DateColumn:
            if (!row->modificationDate)
                return QString();
            return QLocale().toString(QDateTime::fromSecsSinceEpoch(row->modificationTime), QLocale::ShortFormat);
        case SizeColumn:
            return row->size ? shownSize(*row->size) : QString();
        default:
            return {};
        }
    case Qt::TextAlignmentRole:
        if (index.column() == SizeColumn)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
        return {};
    case PathRole:
        return QString::fromStdString(row->pathToItem);
    case SizeRole:
        return QVariant::fromValue<qulonglong>(row->size.value_or(0));
    default:
        return {};
    }
}

QVariant CacheListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case NameColumn:
        return tr("Name");
    case DateColumn:
        return tr("Date Modified");
    case SizeColumn:
        return tr("Size");
    default:
        return {};
    }
}

void CacheListModel::setRows(std::vector<BrowserItem> rows) {
    beginResetModel();
    _rows = std::move(rows);
    endResetModel();
}

} // namespace quillet::app
