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
#include <utility>
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
        const char* path = std::getenv("KESTOR_RELIABILITY_REPORT");
        if (!path || !*path) return;
        std::lock_guard lock(FLock);
        TTable& table = FTables[Name];
        table.Corner = Corner;
        Add(table.Rows, Row);
        Add(table.Columns, Column);
        table.Cells[{Row, Column}] = Cell;
        Write(path, Name, Render(table));
    }

    // Sets the text of section Name as a whole.
    void SetText(const std::string& Name, const std::string& Text) {
        const char* path = std::getenv("KESTOR_RELIABILITY_REPORT");
        if (!path || !*path) return;
        std::lock_guard lock(FLock);
        Write(path, Name, Text);
    }

private:
    struct TTable {
        std::string Corner;
        std::vector<std::string> Rows, Columns;
        std::map<std::pair<std::string, std::string>, std::string> Cells;
    };

    static void Add(std::vector<std::string>& List, const std::string& Item) {
        if (std::find(List.begin(), List.end(), Item) == List.end()) List.push_back(Item);
    }

    static std::string Render(const TTable& Table) {
        std::string text = "| " + Table.Corner + " |";
        std::string rule = "|---|";
        for (const auto& column : Table.Columns) {
            text += " " + column + " |";
            rule += "---|";
        }
        text += "\n" + rule + "\n";
        for (const auto& row : Table.Rows) {
            text += "| " + row + " |";
            for (const auto& column : Table.Columns) {
                const auto cell = Table.Cells.find({row, column});
                text += " " + (cell == Table.Cells.end() ? std::string() : cell->second) + " |";
            }
            text += "\n";
        }
        return text;
    }

    // Replaces what stands between the markers of Name, or appends them.
    static void Write(const std::string& Path, const std::string& Name, const std::string& Body) {
        std::string text;
        {
            std::ifstream in(Path, std::ios::binary);
            std::stringstream all;
            all << in.rdbuf();
            text = all.str();
        }
        if (text.empty()) text = "# Reliability\n";
        const std::string begin = "<!-- measured: " + Name + " -->\n";
        const std::string end = "<!-- end: " + Name + " -->\n";
        const auto from = text.find(begin);
        const auto to = from == std::string::npos ? from : text.find(end, from);
        if (to == std::string::npos) {
            if (!text.ends_with("\n")) text += "\n";
            text += "\n" + begin + Body + end;
        } else {
            text.replace(from + begin.size(), to - from - begin.size(), Body);
        }
        std::ofstream(Path, std::ios::binary | std::ios::trunc) << text;
    }

    std::mutex FLock;
    std::map<std::string, TTable> FTables;
};

}  // namespace kest::test
