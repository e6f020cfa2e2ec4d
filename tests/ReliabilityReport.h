// Figures for docs/RELIABILITY.md, measured by the tests that check them: when
// KESTOR_RELIABILITY_REPORT names a file, every table a test fills is written
// into that file between its own markers, the rest of the file left as it
// is, so the document shows what was measured, not what was typed. Run the
// tests of one table in one process (scripts/reliability-report does).
#pragma once

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace kest::test {

class TReport {
public:
    static TReport& Get() {
        static TReport report;
        return report;
    }

    // Sets a cell of table Name, whose first column is headed Corner; rows
    // and columns keep the order they first came in.
    void Set(const std::string& Name, const std::string& Corner, const std::string& Row,
             const std::string& Column, const std::string& Cell) {
        std::lock_guard lock(FLock);
        TTable& table = FTables[Name];
        for (auto [list, item] : {std::pair{&table.Rows, &Row}, {&table.Columns, &Column}})
            if (std::find(list->begin(), list->end(), *item) == list->end()) list->push_back(*item);
        table.Cells[{Row, Column}] = Cell;
        std::string text = "| " + Corner + " |", rule = "|---|";
        for (const auto& column : table.Columns)
            text += " " + column + " |", rule += "---|";
        text += "\n" + rule + "\n";
        for (const auto& row : table.Rows) {
            text += "| " + row + " |";
            for (const auto& column : table.Columns)
                text += " " + table.Cells[{row, column}] + " |";
            text += "\n";
        }
        Write(Name, text);
    }

private:
    struct TTable {
        std::vector<std::string> Rows, Columns;
        std::map<std::pair<std::string, std::string>, std::string> Cells;
    };

    // Replaces what stands between the markers of Name, or appends them.
    static void Write(const std::string& Name, const std::string& Body) {
        const char* path = std::getenv("KESTOR_RELIABILITY_REPORT");
        if (!path || !*path) return;
        std::stringstream all;
        all << std::ifstream(path, std::ios::binary).rdbuf();
        std::string text = all.str().empty() ? "# Reliability\n" : all.str();
        const std::string begin = "<!-- measured: " + Name + " -->\n";
        const std::string end = "<!-- end: " + Name + " -->\n";
        const auto from = text.find(begin);
        const auto to = from == std::string::npos ? from : text.find(end, from);
        if (to == std::string::npos)
            text += (text.ends_with("\n") ? "\n" : "\n\n") + begin + Body + end;
        else
            text.replace(from + begin.size(), to - from - begin.size(), Body);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    std::mutex FLock;
    std::map<std::string, TTable> FTables;
};

}  // namespace kest::test
