// The register's state file: a register started again on it goes on where
// it stopped; a file it cannot take is refused with the file and the reason
// named; a file it cannot write makes it refuse the change.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Frames.h"
#include "Records.h"
#include "StateFile.h"

using namespace std::string_literals;
using namespace kest::emu;
using namespace kest::emu::test;
namespace fs = std::filesystem;

namespace {

// A directory of the test's own, removed with everything in it.
struct TTempDir {
    fs::path Path;
    TTempDir() {
        static int count = 0;
        Path = fs::temp_directory_path() /
               ("kestor-state-" + std::to_string(::getpid()) + "-" + std::to_string(++count));
        fs::create_directories(Path);
    }
    ~TTempDir() {
        std::error_code ignored;
        fs::remove_all(Path, ignored);
    }
};

std::string ReadFile(const fs::path& Path) {
    std::ifstream in(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
void WriteFile(const fs::path& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
}

TConfig WithState(TConfig Config, const fs::path& Path) {
    Config.StateFile = Path.string();
    return Config;
}

}  // namespace

TEST(RegisterStateFile, RestartGoesOnWhereItStopped) {
    TTempDir dir;
    const fs::path path = dir.Path / "register.json";
    std::string kept;
    {
        TTestRegister reg(WithState(Gen8, path));
        EXPECT_TRUE(fs::exists(path));
        ASSERT_EQ(ErrorOf(reg.Send(
                      'K', ReceiptHeader('0', "00", '0', "100.00", "1", 1) +
                               ReceiptItem(Goods, "00", Price("7", "555", "", "", "100.00")))),
                  "0000");
        ASSERT_EQ(ErrorOf(reg.Send('5', "2\0"s)), "0000");
        ASSERT_EQ(
            ErrorOf(reg.Send('K', ReceiptHeader('0', "00", '0', "20.00", "1", 1) +
                                      ReceiptItem(Goods, "00", Price("3", "1", "", "", "20.00")))),
            "0000");
        ASSERT_EQ(ErrorOf(reg.Send('[', "210\0"s + Slot("Sweets", 21))), "0000");
        ASSERT_EQ(ErrorOf(reg.Send('7', "4321\0"s)), "0000");
        kept = StateJson(reg.Register.State(), reg.Register.Config().Firmware);
        EXPECT_EQ(ReadFile(path), kept);
    }
    // Switched on again: the same state, the shift still open, the numbering
    // going on, and the password and serial the register kept in force.
    TRegister again(WithState({.Model = mem207_1K, .Serial = "7654321", .Password = "1111"}, path));
    EXPECT_EQ(StateJson(again.State(), again.Config().Firmware), kept);
    EXPECT_EQ(again.Config().Serial, "0000001");
    EXPECT_EQ(again.Config().Password, "4321");
    const std::string answer = Exchange(again, Request('J', {}, "4321"));
    EXPECT_EQ(answer.substr(3, 4), "0001");                   // the shift
    EXPECT_EQ(answer.substr(16 + 3, 5), "00131");             // sale, Z, sale
    EXPECT_EQ(answer.substr(16 + 48, 5), "00043");            // the Z report
    EXPECT_EQ(again.State().DayRecords.back().Sales, 10000);  // its record
    EXPECT_EQ(again.State().Shift.Departments[3].Sales.Sum, 2000);
}

TEST(RegisterStateFile, RefusesAFileItCannotTake) {
    TTempDir dir;
    const fs::path path = dir.Path / "register.json";
    { TRegister fresh(WithState(Gen8, path)); }
    const nlohmann::json valid = nlohmann::json::parse(ReadFile(path));
    using TEdit = std::function<void(nlohmann::json&)>;
    const struct {
        const char* Name;
        std::function<std::string()> Text;
        std::string Message;  // after "state file PATH: "
    } cases[] = {
        {"not JSON", [] { return "{\"format\":"s; }, "not JSON: "},
        {"deep", [] { return std::string(40, '[') + std::string(40, ']'); },
         "nested deeper than any state"},
        {"large", [] { return std::string(MaxStateFileSize + 1, ' '); }, "larger than 4 MiB"},
    };
    const struct {
        const char* Name;
        TEdit Edit;
        std::string Message;
    } edits[] = {
        {"another format", [](auto& J) { J["format"] = "x"; }, "format: not a kestor-emu state"},
        {"another model", [](auto& J) { J["model"] = "207.1F"; },
         "model: a 207.1F register with firmware \"1.0\", not this 207.1K with \"1.0\""},
        {"no shift", [](auto& J) { J.erase("shift"); }, "shift: missing"},
        {"a negative sum", [](auto& J) { J["counters"][0][1] = -1; },
         "counters[0][1]: not a whole number from 0 to 99999999999999"},
        {"a text the register cannot store", [](auto& J) { J["texts"]["300"] = "日本"; },
         "texts.300: has characters the register cannot store"},
        {"text 007", [](auto& J) { J["texts"]["007"] = "x"; },
         "texts.007: not a text number from 0 to 999"},
        {"115200 on generation 8", [](auto& J) { J["baud_rate"] = 115200; },
         "baud_rate: not a rate this register runs at"},
        {"a record out of turn", [](auto& J) { J["fiscal_memory"]["days"][1]["number"] = 5; },
         "fiscal_memory.days[1].number: not 2"},
        {"a department twice",
         [](auto& J) {
             const nlohmann::json d = {{"number", 7}, {"sales", {1, 100}}, {"refunds", {0, 0}}};
             J["shift"]["departments"] = {d, d};
         },
         "shift.departments[1]: number 7 again"},
        {"no such date", [](auto& J) { J["last_document"]["date"] = "2024-02-30T10:00:00"; },
         "last_document.date: not a date and time such as 2024-03-14T21:05:00"},
        {"a picture cut short",
         [](auto& J) {
             J["graphic_header"] = {
                 {"width", 2}, {"height", 1}, {"picture", "5A"}, {"enabled", true}};
         },
         "graphic_header.picture: not width x height bytes in hex"},
    };
    const auto refused = [&](const std::string& Name, const std::string& Text,
                             const std::string& Message) {
        WriteFile(path, Text);
        try {
            TRegister reg(WithState(Gen8, path));
            ADD_FAILURE() << Name << ": taken";
        } catch (const std::runtime_error& e) {
            const std::string expected = "state file " + path.string() + ": " + Message;
            EXPECT_EQ(std::string(e.what()).substr(0, expected.size()), expected) << Name;
        }
        // The register refuses to start and leaves the file alone.
        EXPECT_EQ(ReadFile(path), Text) << Name;
    };
    for (const auto& c : cases)
        refused(c.Name, c.Text(), c.Message);
    for (const auto& e : edits) {
        nlohmann::json edited = valid;
        e.Edit(edited);
        refused(e.Name, edited.dump(), e.Message);
    }

    // Not a file at all.
    const fs::path directory = dir.Path / "directory.json";
    fs::create_directory(directory);
    EXPECT_THROW(TRegister(WithState(Gen8, directory)), std::runtime_error);
    // A place no file can be written to.
    EXPECT_THROW(TRegister(WithState(Gen8, dir.Path / "none" / "register.json")),
                 std::runtime_error);
}

TEST(RegisterStateFile, AChangeThatCannotBeKeptIsRefused) {
    TTempDir dir;
    const fs::path sub = dir.Path / "sub";
    fs::create_directory(sub);
    TTestRegister reg(WithState(Gen3, sub / "register.json"));
    fs::remove_all(sub);
    reg.TakeTape();
    EXPECT_EQ(reg.Send('_', "1\0"s + "00\0"s + "\0\0\0"s), Answer('_', "000F"));
    EXPECT_EQ(reg.Register.State().LastDocument.Number, 128);
    EXPECT_EQ(reg.Register.State().Shift.LastXReport, 0);
    EXPECT_EQ(reg.Tape, "");
    // Questions change nothing and are answered.
    EXPECT_EQ(ErrorOf(reg.Send('E')), "0000");
}
