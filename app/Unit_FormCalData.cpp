#include "app/Unit_FormCalData.h"

#include "app/Unit_FormMain.h"
#include "caldata/Unit_CalDataModel.h"

#include <QAbstractButton>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QStyleOptionHeader>
#include <QStyledItemDelegate>
#include <QTableView>

namespace {

constexpr int kClientWidth = 784;
constexpr int kClientHeight = 362;
constexpr int kMargin = 8;
constexpr int kInfoHeight = 84;
constexpr int kGridTop = 104;
constexpr int kBoxHeight = 27;
constexpr int kLabelGap = 8;
constexpr int kRowHeight = 24;
constexpr int kDefaultColWidth = 80;
constexpr int kFixedColWidth = 64;
constexpr int kColWidth = 112;

// Ordinary cells.
class CellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        TForm_CalData::StringGrid_CalDataDrawCell(painter, option.rect, index.data().toString(),
                                                  option.widget);
    }
};

// The fixed row and column, painted exactly like the ordinary cells.
class FixedCells : public QHeaderView {
public:
    FixedCells(Qt::Orientation orientation, QWidget* parent) : QHeaderView(orientation, parent) {
        setSectionsClickable(false);
        setHighlightSections(false);
        setSectionResizeMode(QHeaderView::Fixed);
        setMinimumSectionSize(0);
    }

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override {
        if (!rect.isValid()) return;
        const QString text =
            model() ? model()->headerData(logicalIndex, orientation()).toString() : QString();
        TForm_CalData::StringGrid_CalDataDrawCell(painter, rect, text, this);
    }
};

} // namespace

TForm_CalData::TForm_CalData(TForm_Main* main) : QWidget(main, Qt::Window), Main(main) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Mapping Data"));
    // Tahoma where the machine has it, otherwise the skin's sans font that stands in for it.
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(16);
    setFont(font);
    resize(kClientWidth, kClientHeight);
    setMinimumSize(kClientWidth, kClientHeight);

    Panel_Info = new QFrame(this);
    Panel_Info->setFrameStyle(QFrame::Box | QFrame::Plain);
    Panel_Info->setForegroundRole(QPalette::Mid);
    Edit_CalData1_Model = MakeBox(QStringLiteral("Model :"), 72, 8, 56);
    Edit_CalData2_Serial = MakeBox(QStringLiteral("Serial :"), 200, 8, 128);
    Edit_CalData3_RowCount = MakeBox(QStringLiteral("Row :"), 392, 8, 56);
    Edit_CalData4_ColCount = MakeBox(QStringLiteral("Col :"), 504, 8, 56);
    Edit_CalData5_MinCW = MakeBox(QStringLiteral("Min CW :"), 84, 44, 64);
    Edit_CalData6_MaxCW = MakeBox(QStringLiteral("Max CW :"), 236, 44, 64);
    Edit_CalData7_Interval = MakeBox(QStringLiteral("Min FWHM :"), 408, 44, 64);

    GridModel = new CalDataGridModel(this);
    StringGrid_CalData = new QTableView(this);
    StringGrid_CalData->setHorizontalHeader(new FixedCells(Qt::Horizontal, StringGrid_CalData));
    StringGrid_CalData->setVerticalHeader(new FixedCells(Qt::Vertical, StringGrid_CalData));
    StringGrid_CalData->setItemDelegate(new CellDelegate(StringGrid_CalData));
    StringGrid_CalData->setModel(GridModel);
    StringGrid_CalData->setSelectionMode(QAbstractItemView::NoSelection);
    StringGrid_CalData->setEditTriggers(QAbstractItemView::NoEditTriggers);
    StringGrid_CalData->setWordWrap(false);
    StringGrid_CalData->setCornerButtonEnabled(false);
    QHeaderView* fixedRow = StringGrid_CalData->horizontalHeader();
    QHeaderView* fixedCol = StringGrid_CalData->verticalHeader();
    fixedRow->setDefaultSectionSize(kDefaultColWidth);
    fixedRow->setFixedHeight(kRowHeight);
    fixedCol->setDefaultSectionSize(kRowHeight);
    fixedCol->setFixedWidth(kDefaultColWidth);
    // The top-left cell is the view's corner button; it is painted like the other cells.
    GridCorner = StringGrid_CalData->findChild<QAbstractButton*>();
    if (GridCorner) GridCorner->installEventFilter(this);
    // The grid takes the keys (scrolling) rather than the first of the read-only boxes.
    StringGrid_CalData->setFocus();

    FormCreate();
}

QLineEdit* TForm_CalData::MakeBox(const QString& caption, int left, int top, int width) {
    auto* box = new QLineEdit(Panel_Info);
    box->setGeometry(left, top, width, kBoxHeight);
    box->setReadOnly(true);
    box->setAlignment(Qt::AlignCenter);
    auto* label = new QLabel(caption, Panel_Info);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const int labelWidth = label->sizeHint().width();
    label->setGeometry(left - kLabelGap - labelWidth, top, labelWidth, kBoxHeight);
    label->setBuddy(box);
    return box;
}

void TForm_CalData::FormCreate() {
    Action_ClearCalDataExecute();
    Action_RefreshCalDataExecute();
}

void TForm_CalData::Action_ClearCalDataExecute() {
    for (QLineEdit* box :
         {Edit_CalData1_Model, Edit_CalData2_Serial, Edit_CalData3_RowCount, Edit_CalData4_ColCount,
          Edit_CalData5_MinCW, Edit_CalData6_MaxCW, Edit_CalData7_Interval})
        box->clear();
    GridModel->SetSnapshot(CalDataSnapshot());
}

void TForm_CalData::Action_RefreshCalDataExecute() {
    if (!Main || !Main->CalDataLoaded) return;
    CalDataSnapshot snapshot = TakeCalDataSnapshot(Main->CalDataLoaded, Main->DeviceModel,
                                                   Main->DeviceSerial, Main->Table, *Main);
    Edit_CalData1_Model->setText(snapshot.Model);
    Edit_CalData2_Serial->setText(snapshot.Serial);
    Edit_CalData3_RowCount->setText(snapshot.RowCount);
    Edit_CalData4_ColCount->setText(snapshot.ColCount);
    Edit_CalData5_MinCW->setText(snapshot.MinCw);
    Edit_CalData6_MaxCW->setText(snapshot.MaxCw);
    Edit_CalData7_Interval->setText(snapshot.Interval);
    GridModel->SetSnapshot(std::move(snapshot));
    StringGrid_CalData->verticalHeader()->setFixedWidth(kFixedColWidth);
    StringGrid_CalData->horizontalHeader()->setDefaultSectionSize(kColWidth);
}

void TForm_CalData::StringGrid_CalDataDrawCell(QPainter* painter, const QRect& rect,
                                               const QString& text, const QWidget* grid) {
    painter->save();
    QStyleOptionHeader option;
    option.initFrom(grid);
    // The normal look: neither hot, pressed, selected nor focused.
    option.state = QStyle::State_Enabled | QStyle::State_Raised;
    option.rect = rect;
    option.orientation = Qt::Horizontal;
    option.position = QStyleOptionHeader::Middle;
    grid->style()->drawControl(QStyle::CE_HeaderSection, &option, painter, grid);

    if (!text.isEmpty()) {
        painter->setClipRect(rect, Qt::IntersectClip);
        painter->setFont(grid->font());
        painter->setPen(grid->palette().color(QPalette::ButtonText));
        const QFontMetricsF metrics(painter->font(), painter->device());
        const qreal width = metrics.horizontalAdvance(text);
        const qreal room = rect.width() - 4;
        // Centred on one line. A text wider than its cell (four-digit positions on all three
        // axes) is narrowed to fit rather than cut off: every figure stays readable.
        painter->translate(QRectF(rect).center());
        if (width > room && room > 0) painter->scale(room / width, 1.0);
        painter->drawText(QPointF(-width / 2, (metrics.ascent() - metrics.descent()) / 2), text);
    }
    painter->restore();
}

void TForm_CalData::closeEvent(QCloseEvent* event) {
    // Forgotten at once, even when the deletion waits for an outer event loop: the next opening
    // makes a fresh window with a fresh snapshot.
    if (Main && Main->FormCalData == this) Main->FormCalData = nullptr;
    QWidget::closeEvent(event);
}

void TForm_CalData::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The panel follows the width, the grid both directions; the margins stay.
    Panel_Info->setGeometry(kMargin, kMargin, width() - 2 * kMargin, kInfoHeight);
    StringGrid_CalData->setGeometry(kMargin, kGridTop, width() - 2 * kMargin,
                                    height() - kGridTop - kMargin);
}

bool TForm_CalData::eventFilter(QObject* watched, QEvent* event) {
    if (watched == GridCorner && event->type() == QEvent::Paint) {
        QPainter painter(GridCorner);
        StringGrid_CalDataDrawCell(&painter, GridCorner->rect(), QString(), StringGrid_CalData);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
