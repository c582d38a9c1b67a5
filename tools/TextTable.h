#pragma once
// A plain-text table for terminals: a header row and aligned columns. Columns
// that may be cut give way, widest first, until the table fits the width.

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
    QList<int> naturalWidths() const;
    void fitTo(QList<int> &widths, int maxWidth) const;
    QString renderLine(const QStringList &cells, const QList<int> &widths) const;
    static QString cutCell(const QString &text, int width, Cut cut);

    QList<Column> m_columns;
    QList<QStringList> m_rows;
};
