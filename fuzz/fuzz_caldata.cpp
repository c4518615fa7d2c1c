// The calibration data file import on arbitrary bytes: decoding, line and field splitting, the
// staged checks that fill the table, and the lookups over whatever table they leave.

#include "caldata/Unit_CalDataFile.h"
#include "fuzz/FuzzCheck.h"

#include <QBuffer>
#include <QByteArray>

#include <memory>

namespace {

// The identity the sample file and the seed corpus carry, so that inputs reach the data rows.
const QString Model = QStringLiteral("F123");
const QString Serial = QStringLiteral("ABCD12345678");

void CheckLoadedTable(const CalibrationTable& table) {
    FUZZ_CHECK(table.RowCount >= 0 && table.RowCount <= CalibrationTable::kMaxRows);
    FUZZ_CHECK(table.ColCount >= 0 && table.ColCount <= CalibrationTable::kMaxCols);
    for (int r = 0; r < table.RowCount; ++r) {
        const double cwl = table.RowValues[r];
        FUZZ_CHECK(table.IsCwlInTable(cwl));
        for (int c = 0; c < table.ColCount; ++c) {
            const CalibrationCell& cell = table.Cell(r, c);
            FUZZ_CHECK(cell.Cwl == cwl && cell.Fwhm == table.ColValues[c]);
            FUZZ_CHECK(cell.Valid == (cell.Pos1 >= 0 && cell.Pos2 >= 0 && cell.Pos3 >= 0));
            // The lookup answers the first row and column holding these values.
            int row = -1;
            int col = -1;
            FUZZ_CHECK(table.FindCell(cwl, table.ColValues[c], row, col));
            FUZZ_CHECK(row >= 0 && row <= r && col >= 0 && col <= c);
            FUZZ_CHECK(table.RowValues[row] == cwl && table.ColValues[col] == table.ColValues[c]);
        }
        table.MinFwhmAtCwl(cwl);
        table.MaxFwhmAtCwl(cwl);
    }
    for (int c = 0; c < table.ColCount; ++c) {
        table.MinCwlAtFwhm(table.ColValues[c]);
        table.MaxCwlAtFwhm(table.ColValues[c]);
    }
    table.MinCwl();
    table.MaxCwl();
    table.MinFwhm();
    table.MaxFwhm();
    table.CwlStep();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList lines = ReadCalDataLines(bytes);
    for (const QString& line : lines)
        FUZZ_CHECK(!line.contains(u'\r') && !line.contains(u'\n'));

    // The table is large; one lives for the whole run, as the program keeps one.
    static const auto table = std::make_unique<CalibrationTable>();
    const CalDataLoadResult result = LoadCalDataLines(lines, Model, Serial, *table);
    if (result.Ok()) {
        CheckLoadedTable(*table);
    } else {
        FUZZ_CHECK(result.Code >= 11 && result.Code <= 20);
        FUZZ_CHECK(table->RowCount == 0 && table->ColCount == 0);
        FUZZ_CHECK(!CalDataErrorMessage(result.Code, result.Tag).isEmpty());
    }

    // The program reads the kept copy from the file on demand, with a bound on each line: on an
    // input whose lines are all within the bound, that gives the same outcome.
    if (bytes.size() <= CalDataFileLines::MaxLineUnits) {
        QBuffer file;
        file.setData(bytes);
        file.open(QIODevice::ReadOnly);
        CalDataFileLines fileLines(file);
        static const auto fileTable = std::make_unique<CalibrationTable>();
        const CalDataLoadResult fromFile = LoadCalData(fileLines, Model, Serial, *fileTable);
        FUZZ_CHECK(fromFile.Code == result.Code && fromFile.Tag == result.Tag);
        FUZZ_CHECK(fileTable->RowCount == table->RowCount &&
                   fileTable->ColCount == table->ColCount);
    }

    // The plain splitter, as other readers of comma texts use it.
    for (qsizetype i = 0; i < lines.size() && i < 8; ++i) {
        const QStringList fields = SplitCalDataFields(lines[i]);
        FUZZ_CHECK(fields.size() <= lines[i].size() + 1);
    }
    return 0;
}
