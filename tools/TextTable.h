#pragma once
// A plain-text table for terminals: a header row and aligned columns. Columns
// that may be cut give way, widest first, until the table fits the width; when
// that is not enough, columns that may be left out go, in their order.

#include <QList>
#include <QString>
#include <QStringList>

class TextTable
{
public:
    enum class Align { Left, Right };
    // How a cell longer than its column is shortened; Start keeps the end of
    // the text (paths: the file name matters most).
    enum class Cut { Never, End, Start };

    struct Column {
        QString header;
        Align align = Align::Left;
        Cut cut = Cut::Never;
        // 0: always shown; else left out when the table cannot fit, 1 first.
        int dropOrder = 0;
    };

    static constexpr int kColumnGap = 2;
    // A cut column keeps at least this many characters (or its header's).
    static constexpr int kMinCutWidth = 8;

    explicit TextTable(QList<Column> columns);

    void addRow(const QStringList &cells);
    int rowCount() const { return int(m_rows.size()); }

    // The table with a trailing newline per line; maxWidth 0 means no limit.
    QString render(int maxWidth = 0) const;

private:
    // The widths the columns need; in a layout, a left-out column has width -1.
    QList<int> naturalWidths() const;
    // Cuts columns until the table fits; false when cutting is not enough.
    bool fitTo(QList<int> &widths, int maxWidth) const;
    bool dropNextColumn(QList<int> &widths) const;
    QString renderLine(const QStringList &cells, const QList<int> &widths) const;
    static QString cutCell(const QString &text, int width, Cut cut);

    QList<Column> m_columns;
    QList<QStringList> m_rows;
};
