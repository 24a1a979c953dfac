#pragma once
// The cached items as a flat table for the browser tab's view: one row per entry directly
// inside a date folder of any cache folder (the core's flat rows), with its name, date and
// size. The rows are read elsewhere (on a job) and handed over whole.

#include "browser/BrowserItem.h"

#include <QAbstractTableModel>

#include <vector>

namespace quillet::app {

class CacheListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { NameColumn, DateColumn, SizeColumn, ColumnCount };
    /// The full path of the row's item (QString), and its size in bytes (qulonglong).
    static constexpr int PathRole = Qt::UserRole;
    static constexpr int SizeRole = Qt::UserRole + 1;

    explicit CacheListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    /// Replaces every row.
    void setRows(std::vector<BrowserItem> rows);
    const std::vector<BrowserItem> &rows() const { return _rows; }
    /// The item of a row; nullptr past the end.
    const BrowserItem *item(int row) const;
    /// The row of the item of that id, or -1.
    int rowOf(RowId id) const;

private:
    std::vector<BrowserItem> _rows;
};

} // namespace quillet::app
