// The register's state file: a register started again on it goes on where
// it stopped; a file it cannot take is refused with the file and the reason
// named; a file it cannot write makes it refuse the change, and so does a
// tape that does not take the print.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Frames.h"
#include "Records.h"
#include "StateFile.h"

using namespace std::chrono_literals;
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
        {"text after a NUL", [&] { return valid.dump() + '\0' + "{}"; },
         "not JSON: a NUL byte at offset " + std::to_string(valid.dump().size())},
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
        {"a sum beyond 64 bits signed",
         [](auto& J) {
             J["shift"]["departments"] = {
                 {{"number", 0}, {"sales", {1, 18446744073709551615u}}, {"refunds", {0, 0}}}};
         },
         "shift.departments[0].sales[1]: not a whole number from -99999999999999 to "
         "99999999999999"},
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

    // Places the register cannot keep its state in, refused before anything
    // is read or written.
    WriteFile(path, valid.dump());
    const fs::path directory = dir.Path / "directory.json", fifo = dir.Path / "fifo.json",
                   link = dir.Path / "link.json", readOnly = dir.Path / "read-only.json",
                   folder = dir.Path / "read-only", none = dir.Path / "none";
    fs::create_directory(directory);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(path, link);
    fs::copy_file(path, readOnly);
    fs::permissions(readOnly, fs::perms(0444));
    fs::create_directory(folder);
    fs::copy_file(path, folder / "register.json");
    fs::permissions(folder, fs::perms(0555));
    const TRegister holder(WithState(Gen8, path));
    const struct {
        fs::path Path;
        std::string Message;
    } places[] = {
        {directory, "not a regular file"},
        {fifo, "not a regular file"},
        {link, "a symbolic link; name the file it points to"},
        {readOnly, "read-only (mode 0444)"},
        {folder / "register.json", "folder " + folder.string() + " is read-only (mode 0555)"},
        {path, "in use by another emulator (" + path.string() + ".lock is locked)"},
        {none / "register.json", "folder " + none.string() + ": No such file or directory"},
    };
    // A start waiting for the FIFO's writer is let go by one, and counted.
    std::atomic<bool> blocked = false;
    std::promise<void> finished;
    std::thread watchdog([&, done = finished.get_future()] {
        if (done.wait_for(5s) == std::future_status::ready) return;
        blocked = true;
        if (const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) ::close(fd);
    });
    for (const auto& p : places) {
        try {
            TRegister reg(WithState(Gen8, p.Path));
            ADD_FAILURE() << p.Path << ": taken";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), "state file " + p.Path.string() + ": " + p.Message);
        }
    }
    finished.set_value();
    watchdog.join();
    EXPECT_FALSE(blocked);
    fs::permissions(folder, fs::perms(0755));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::status(readOnly).permissions(), fs::perms(0444));
    EXPECT_EQ(ReadFile(path), valid.dump());
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

TEST(RegisterStateFile, APrintTheTapeRefusesIsUndone) {
    TTempDir dir;
    const fs::path path = dir.Path / "register.json";
    bool full = true;
    TRegister reg(WithState({.Model = mem207_1K,
                             .Tape =
                                 [&](std::string_view) {
                                     if (full)
                                         throw std::system_error(ENOSPC, std::system_category(),
                                                                 "write /dev/full");
                                 }},
                            path));
    const std::string kept = ReadFile(path);
    const int number = reg.State().LastDocument.Number;
    const std::string receipt =
        Request('K', ReceiptHeader('0', "00", '0', "100.00", "1", 1) +
                         ReceiptItem(Goods, "00", Price("7", "555", "", "", "100.00")));
    // The printer stopped: not registered, not numbered, not kept.
    EXPECT_EQ(Exchange(reg, receipt), Answer('K', "0021", {}, "00"));
    EXPECT_EQ(reg.State().LastDocument.Number, number);
    EXPECT_EQ(reg.RegisteredCount(), 0u);
    EXPECT_EQ(ReadFile(path), kept);
    // Raw output: every byte taken, the answer tells the print failed.
    EXPECT_EQ(Exchange(reg, Request('6')), Answer('6', "0000"));
    EXPECT_EQ(Exchange(reg, "AB\n\x1B\x1B"),
              std::string(5, '\x06') + Answer('6', "0021", {}, "00"));
    full = false;
    EXPECT_EQ(ErrorOf(Exchange(reg, receipt)), "0000");
    EXPECT_EQ(reg.State().LastDocument.Number, number + 1);
}
