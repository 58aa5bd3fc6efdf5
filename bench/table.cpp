#include "table.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

namespace pocko::bench {

namespace {

struct Row
{
    QString what;
    QString ours;
    QString reference;
    QString target;
};

std::vector<Row> g_rows;

} // namespace

void addRow(const QString &what, const QString &ours, const QString &target,
            const QString &reference)
{
    g_rows.push_back({ what, ours, reference, target });
    std::fprintf(stderr, "  %s: %s\n", qPrintable(what), qPrintable(ours));
}

void printTable()
{
    const Row head { QStringLiteral("measure"), QStringLiteral("PockoMP3"),
                     QStringLiteral("mpg123"), QStringLiteral("target") };
    const auto cells = [](const Row &row) {
        return std::array { &row.what, &row.ours, &row.reference, &row.target };
    };
    std::array<qsizetype, 4> widths {};
    for (std::size_t i = 0; i < 4; ++i)
        widths[i] = cells(head)[i]->size();
    for (const Row &row : g_rows) {
        for (std::size_t i = 0; i < 4; ++i)
            widths[i] = std::max(widths[i], cells(row)[i]->size());
    }
    const auto print = [&widths, &cells](const Row &row) {
        std::printf("|");
        for (std::size_t i = 0; i < 4; ++i)
            std::printf(" %s |", qPrintable(cells(row)[i]->leftJustified(widths[i])));
        std::printf("\n");
    };
    print(head);
    const auto dashes = [&widths](std::size_t i) { return QString(widths[i], QLatin1Char('-')); };
    print({ dashes(0), dashes(1), dashes(2), dashes(3) });
    for (const Row &row : g_rows)
        print(row);
}

} // namespace pocko::bench
