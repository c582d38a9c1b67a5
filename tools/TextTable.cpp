#include "tools/TextTable.h"

#include <algorithm>
#include <numeric>

namespace {
const QString kEllipsis = QStringLiteral("\u2026");
}

TextTable::TextTable(QList<Column> columns)
    : m_columns(std::move(columns))
{
}

void TextTable::addRow(const QStringList &cells)
{
    QStringList row = cells.mid(0, m_columns.size());
    while (row.size() < m_columns.size())
        row << QString();
    m_rows << row;
}

QList<int> TextTable::naturalWidths() const
{
    QList<int> widths;
    for (const Column &c : m_columns)
        widths << int(c.header.size());
    for (const QStringList &row : m_rows)
        for (int i = 0; i < widths.size(); ++i)
            widths[i] = std::max(widths[i], int(row[i].size()));
    return widths;
}

void TextTable::fitTo(QList<int> &widths, int maxWidth) const
{
    if (maxWidth <= 0 || widths.isEmpty())
        return;
    int total = std::accumulate(widths.begin(), widths.end(), 0) + kColumnGap * int(widths.size() - 1);
    while (total > maxWidth) {
        int widest = -1;
        for (int i = 0; i < widths.size(); ++i) {
            const Column &c = m_columns[i];
            const int floor = std::max(kMinCutWidth, int(c.header.size()));
            if (c.cut != Cut::Never && widths[i] > floor && (widest < 0 || widths[i] > widths[widest]))
                widest = i;
        }
        if (widest < 0)
            return; // nothing more gives way: the lines wrap
        --widths[widest];
        --total;
    }
}

QString TextTable::cutCell(const QString &text, int width, Cut cut)
{
    if (text.size() <= width || cut == Cut::Never)
        return text;
    if (cut == Cut::Start)
        return kEllipsis + text.right(width - 1);
    return text.left(width - 1) + kEllipsis;
}

QString TextTable::renderLine(const QStringList &cells, const QList<int> &widths) const
{
    QString line;
    for (int i = 0; i < cells.size(); ++i) {
        const QString cell = cutCell(cells[i], widths[i], m_columns[i].cut);
        const bool last = i == cells.size() - 1;
        if (m_columns[i].align == Align::Right)
            line += cell.rightJustified(widths[i]);
        else
            line += last ? cell : cell.leftJustified(widths[i]);
        if (!last)
            line += QString(kColumnGap, ' ');
    }
    return line + '\n';
}

QString TextTable::render(int maxWidth) const
{
    QList<int> widths = naturalWidths();
    fitTo(widths, maxWidth);
    QStringList header;
    for (const Column &c : m_columns)
        header << c.header;
    QString out = renderLine(header, widths);
    for (const QStringList &row : m_rows)
        out += renderLine(row, widths);
    return out;
}
