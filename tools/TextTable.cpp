#include "tools/TextTable.h"

#include <algorithm>

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

bool TextTable::fitTo(QList<int> &widths, int maxWidth) const
{
    if (maxWidth <= 0)
        return true;
    int total = -kColumnGap;
    for (int w : std::as_const(widths))
        total += w < 0 ? 0 : w + kColumnGap;
    while (total > maxWidth) {
        int widest = -1;
        for (int i = 0; i < widths.size(); ++i) {
            const Column &c = m_columns[i];
            const int floor = std::max(kMinCutWidth, int(c.header.size()));
            if (c.cut != Cut::Never && widths[i] > floor && (widest < 0 || widths[i] > widths[widest]))
                widest = i;
        }
        if (widest < 0)
            return false;
        --widths[widest];
        --total;
    }
    return true;
}

bool TextTable::dropNextColumn(QList<int> &widths) const
{
    int next = -1;
    for (int i = 0; i < widths.size(); ++i)
        if (widths[i] >= 0 && m_columns[i].dropOrder > 0
            && (next < 0 || m_columns[i].dropOrder < m_columns[next].dropOrder))
            next = i;
    if (next < 0)
        return false;
    widths[next] = -1;
    return true;
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
    QStringList parts;
    int last = int(widths.size()) - 1;
    while (last >= 0 && widths[last] < 0)
        --last;
    for (int i = 0; i <= last; ++i) {
        if (widths[i] < 0)
            continue;
        const QString cell = cutCell(cells[i], widths[i], m_columns[i].cut);
        if (m_columns[i].align == Align::Right)
            parts << cell.rightJustified(widths[i]);
        else
            parts << (i == last ? cell : cell.leftJustified(widths[i]));
    }
    return parts.join(QString(kColumnGap, ' ')) + '\n';
}

QString TextTable::render(int maxWidth) const
{
    QList<int> widths;
    // Each try starts from the natural widths of the columns still shown.
    for (QList<int> natural = naturalWidths();; ) {
        widths = natural;
        if (fitTo(widths, maxWidth) || !dropNextColumn(natural))
            break;
    }
    QStringList header;
    for (const Column &c : m_columns)
        header << c.header;
    QString out = renderLine(header, widths);
    for (const QStringList &row : m_rows)
        out += renderLine(row, widths);
    return out;
}
