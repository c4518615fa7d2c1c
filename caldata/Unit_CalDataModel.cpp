#include "caldata/Unit_CalDataModel.h"

#include "core/Unit_Numbers.h"

#include <algorithm>

CalDataSnapshot TakeCalDataSnapshot(bool loaded, const QString& model, const QString& serial,
                                    const CalibrationTable& table,
                                    const CalibrationLookups& lookups) {
    CalDataSnapshot s;
    if (!loaded) return s;
    s.Loaded = true;
    s.Model = model;
    s.Serial = serial;
    s.RowCount = QString::number(table.RowCount);
    s.ColCount = QString::number(table.ColCount);
    s.MinCw = Numbers::FormatFixed(lookups.MinCwl(), 1);
    s.MaxCw = Numbers::FormatFixed(lookups.MaxCwl(), 1);
    s.Interval = Numbers::FormatFixed(lookups.CwlStep(), 1);

    // Counts are limited to the table's capacity, so a bad count never reads past it.
    const int rows = std::clamp<int>(table.RowCount, 0, CalibrationTable::kMaxRows);
    const int cols = std::clamp<int>(table.ColCount, 0, CalibrationTable::kMaxCols);
    s.RowValues = QList<double>(table.RowValues, table.RowValues + rows);
    s.ColValues = QList<double>(table.ColValues, table.ColValues + cols);
    s.Positions.reserve(qsizetype(rows) * cols * 3);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const CalibrationCell& cell = table.Cell(r, c);
            s.Positions << cell.Pos1 << cell.Pos2 << cell.Pos3;
        }
    }
    return s;
}

CalDataGridModel::CalDataGridModel(QObject* parent) : QAbstractTableModel(parent) {}

void CalDataGridModel::SetSnapshot(CalDataSnapshot snapshot) {
    beginResetModel();
    Data = std::move(snapshot);
    endResetModel();
}

QString CalDataGridModel::PositionsText(qint32 pos1, qint32 pos2, qint32 pos3) {
    return QString::number(pos1) + u':' + QString::number(pos2) + u':' + QString::number(pos3);
}

int CalDataGridModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    return Data.Loaded ? int(Data.RowValues.size()) : 1;
}

int CalDataGridModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    return Data.Loaded ? int(Data.ColValues.size()) : 1;
}

QVariant CalDataGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return QVariant();
    if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
    if (role != Qt::DisplayRole) return QVariant();
    if (!Data.Loaded) return QString();
    const qsizetype cols = Data.ColValues.size();
    const qsizetype at = (index.row() * cols + index.column()) * 3;
    if (index.row() >= Data.RowValues.size() || index.column() >= cols ||
        at + 2 >= Data.Positions.size())
        return QString();
    return PositionsText(Data.Positions[at], Data.Positions[at + 1], Data.Positions[at + 2]);
}

QVariant CalDataGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
    if (role != Qt::DisplayRole) return QVariant();
    const QList<double>& values = orientation == Qt::Horizontal ? Data.ColValues : Data.RowValues;
    if (section < 0 || section >= values.size()) return QString();
    return Numbers::FormatFixed(values[section], 1);
}

Qt::ItemFlags CalDataGridModel::flags(const QModelIndex& index) const {
    // Shown only: neither selectable nor editable.
    return index.isValid() ? Qt::ItemIsEnabled : Qt::NoItemFlags;
}
