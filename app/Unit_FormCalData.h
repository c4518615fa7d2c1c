#pragma once
// "Mapping Data": a service window that shows the loaded calibration table with the
// instrument's model and serial, as it was when the window opened. Offered in diagnostic mode
// only; the main window owns it while it is open and forgets it when it closes.

#include <QWidget>

class QAbstractButton;
class QFrame;
class QLabel;
class QLineEdit;
class QPainter;
class QTableView;
class CalDataGridModel;
class TForm_Main;

class TForm_CalData : public QWidget {
    Q_OBJECT
public:
    // A top-level window owned by `main`, filled once from its table. Destroyed on close.
    explicit TForm_CalData(TForm_Main* main);

    void FormCreate();
    void Action_ClearCalDataExecute();
    void Action_RefreshCalDataExecute();

    // Paints one grid cell, fixed or not: the background of a column header in its normal
    // state, the text centred on one line. Nothing else: no selection colour, no focus frame.
    static void StringGrid_CalDataDrawCell(QPainter* painter, const QRect& rect,
                                           const QString& text, const QWidget* grid);

    QFrame* Panel_Info = nullptr;
    QLineEdit* Edit_CalData1_Model = nullptr;
    QLineEdit* Edit_CalData2_Serial = nullptr;
    QLineEdit* Edit_CalData3_RowCount = nullptr;
    QLineEdit* Edit_CalData4_ColCount = nullptr;
    QLineEdit* Edit_CalData5_MinCW = nullptr;
    QLineEdit* Edit_CalData6_MaxCW = nullptr;
    QLineEdit* Edit_CalData7_Interval = nullptr;
    QTableView* StringGrid_CalData = nullptr;
    CalDataGridModel* GridModel = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* MakeBox(const QString& caption, int left, int top, int width);

    TForm_Main* Main;
    QAbstractButton* GridCorner = nullptr;
};
