#pragma once
// What the calibration data window shows: a snapshot of the table taken when the window opens,
// and a read-only grid model over it. The snapshot holds numbers only; a cell's text is made
// when the cell is painted, so opening a full table copies no strings.

#include "caldata/Unit_CalibrationTable.h"

#include <QAbstractTableModel>
#include <QList>
#include <QString>

struct CalDataSnapshot {
    bool Loaded = false;
    // The texts of the seven boxes; all empty when no table was loaded.
    QString Model;
    QString Serial;
    QString RowCount;
    QString ColCount;
    QString MinCw;
    QString MaxCw;
    QString Interval;        // the CWL spacing, shown in the box captioned "Min FWHM :"
    QList<double> RowValues; // CWL of each row
    QList<double> ColValues; // FWHM of each column
    QList<qint32> Positions; // three per grid point, row-major, ColValues.size() points a row
};

// The window's content: empty unless `loaded`. The limits come from `lookups` (the main
// window answers them only while a session is open), the grid from `table`.
CalDataSnapshot TakeCalDataSnapshot(bool loaded, const QString& model, const QString& serial,
                                    const CalibrationTable& table,
                                    const CalibrationLookups& lookups);

// The grid below its fixed row and column: one row per CWL, one column per FWHM. The fixed row
// (FWHM) and column (CWL) are the header data. An empty snapshot gives one empty cell under
// empty headers: the 2 x 2 grid of a cleared window.
class CalDataGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CalDataGridModel(QObject* parent = nullptr);

    void SetSnapshot(CalDataSnapshot snapshot);
    const CalDataSnapshot& Snapshot() const { return Data; }

    // "p1:p2:p3" of one grid point, as the cell shows it; a missing point reads -1:-1:-1.
    static QString PositionsText(qint32 pos1, qint32 pos2, qint32 pos3);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    CalDataSnapshot Data;
};
