#pragma once

// The bench's result: the table of measured rows, printed on stdout at the end of the run.

#include <QString>

namespace pocko::bench {

// Adds a row (and tells it on stderr at once, so a long run shows its progress).
void addRow(const QString &what, const QString &ours, const QString &target = QStringLiteral("-"),
            const QString &reference = QStringLiteral("-"));

// Prints every row added so far as a Markdown table, in the order they were added.
void printTable();

} // namespace pocko::bench
