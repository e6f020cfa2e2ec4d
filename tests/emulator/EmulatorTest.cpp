// The emulator itself: the protocol core driven with raw bytes and a fake
// clock (its refusals of bad frames, faults, timing, what it keeps), the
// program's options, and the state file with its checks and lock.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Frames.h"
#include "KestorEmu.h"
#include "StateFile.h"

using namespace std::chrono_literals;
using namespace kest::emu;
using namespace kest::emu::test;

TEST(EmulatorCore, IdentifiesAndRefusesBadFrames) {
    const std::string header = "\x02"s + "E\0"s + "0000\0"s + "0000\0"s + "08\0"s;
    const std::string identity = Answer('E', "0000", DefaultIdentity());
    std::string badBcc = Request('E');
    badBcc[7] = '0';
    const std::string raw = "\x02\x45\x35\x38\x36\x32\x00\x31\x41\x03"s;
    RunCases({
        {{}, {}, raw, header + DefaultIdentity() + "9B\x03"},
        {{}, {}, badBcc, Answer('E', "001E")},
        {{}, {}, Request('E', {}, "1111"), Answer('E', "0012")},  // the password
        {{}, {}, Framed("E5862X"), Answer('E', "0019")},          // no separator
        // Noise around a frame, and a frame cut short by a new STX.
        {{}, {}, "zz" + Request('E').substr(0, 4) + Request('E'), identity},
        {{.XonXoff = true}, {}, Request('7', "1\0\0\0\0"s), Answer('7', "0000", {}, "08", "0080")},
        {{}, {}, Request('C', "2\0"s), Answer('C', "0000")},  // 57600
    });
    TRegister reg({});
    Exchange(reg, Request('C', "2\0"s));
    EXPECT_EQ(reg.BaudRate(), 57600);
    // A model that does not know the in-wait status request ignores it.
    reg.SetNotices(1, 0x0A, {});
    Exchange(reg, Request('E'));
    EXPECT_EQ(Exchange(reg, "\x07"), "");
    EXPECT_EQ(ErrorOf(Exchange(reg, "\x04")), "0000");
    // It keeps only the last frames received: these told apart by their
    // (wrong) passwords, then a reply byte.
    const size_t total = TRegister::ReceivedKept + 50;
    for (size_t i = 0; i < total; ++i)
        Exchange(reg, Request('E', {}, std::to_string(i)));
    Exchange(reg, "\x04");
    ASSERT_EQ(reg.Received().size(), TRegister::ReceivedKept);
    EXPECT_EQ(reg.Received().front(), Request('E', {}, std::to_string(total - 255)));
    EXPECT_EQ(reg.Received().back(), "\x04");
}

TEST(EmulatorCore, ModelsAndGenerations) {
    // A firmware tag decides the generation; a model's own firmware or an
    // unknown tag leaves the model's.
    const std::tuple<const char*, TKestEcrModel, const char*, int> cases[] = {
        {"MEM207_1F", mem207_1F, "1.0 VLS X", 3}, {"207.1f", mem207_1F, "1.0 B", 1},
        {"station-f", memStationF, "", 6},        {"pc-k", memPCK, "", 7},
        {"207.1F-MD", mem207_1FMD, "", 3},        {"mem207_1K", mem207_1K, "", 8}};
    for (const auto& [name, model, firmware, generation] : cases) {
        EXPECT_EQ(ParseModel(name), model) << name;
        EXPECT_EQ(GenerationOf(model, firmware), generation) << name << " " << firmware;
    }
    EXPECT_THROW(ParseModel("207"), std::invalid_argument);
    EXPECT_THROW(TRegister({.Serial = "12345678"}), std::invalid_argument);

    // The Moldavian coding prints Ă Î Ş Ţ Â at 0xB0..0xB4.
    TRegister renamed({.Model = mem207_1FMD, .ModelName = u"ĂÎŞŢÂ-ș"});
    EXPECT_EQ(Exchange(renamed, Request('E')).substr(16 + 8, 8), "\xB0\xB1\xB2\xB3\xB4-\xB2\0"s);
}

TEST(EmulatorCore, FaultsSpoilOnlyTheAnswer) {
    const std::string clean = Answer('E', "0000", DefaultIdentity());
    // The frame with byte At after its STX set to C, summed anew.
    const auto with = [](const std::string& Frame, size_t At, char C) {
        std::string body = Frame.substr(1, Frame.size() - 4);
        body[At] = C;
        return Framed(body);
    };
    const std::pair<TFault, std::string> cases[] = {
        {TFault::NoAnswer, ""},
        {TFault::CutShort, clean.substr(0, 60)},
        {TFault::BadBcc, clean.substr(0, 117) + "9C\x03"},  // 9B + 1
        {TFault::Garbage, "x?!" + clean},
        {TFault::EtxInData, with(clean, 15 + 50, '\x03')},  // the middle data byte
        {TFault::WrongEcho, with(clean, 0, '7')},
        {TFault::WrongSeparator, with(clean, 6, 'X')},
    };
    for (const auto& [fault, answer] : cases) {
        TRegister reg({});
        reg.SetAcks(1, {});
        reg.InjectFault(fault, 1);
        EXPECT_EQ(Exchange(reg, Request('E')), "\x06" + answer) << int(fault);
        EXPECT_EQ(Exchange(reg, Request('E')), "\x06" + clean) << int(fault);
    }
    // Without data the ETX takes the device byte's last digit.
    TRegister reg({});
    reg.InjectFault(TFault::EtxInData, 1);
    EXPECT_EQ(Exchange(reg, Request('7', "5862\0"s)), with(Answer('7', "0000"), 13, '\x03'));
    reg.InjectFault(TFault::NoAnswer, -1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Exchange(reg, Request('E')), "");
    reg.ClearFaults();
    EXPECT_EQ(Exchange(reg, Request('E')), clean);
}

TEST(EmulatorCore, Timing) {
    using TClock = TRegister::TClock;
    const TClock::time_point t0 = TClock::now();
    const std::string identity = Answer('E', "0000", DefaultIdentity()), request = Request('E');
    const std::string notice = "\x05"s + "0A";
    TRegister reg({});

    // A frame left idle is dropped; its tail then is noise.
    reg.Receive(request.substr(0, 5), t0);
    EXPECT_EQ(reg.NextDeadline(), t0 + TRegister::FrameIdle);
    reg.Receive(request.substr(5), t0 + 2100ms);
    EXPECT_EQ(reg.Poll(t0 + 2100ms), "");
    EXPECT_EQ(reg.FrameCount(), 0u);

    // A frame at another line rate is not for this register.
    reg.Receive(request, t0, 19200);
    EXPECT_EQ(reg.Poll(t0), "");
    EXPECT_EQ(reg.FrameCount(), 1u);

    // A notice nobody answers: the request is dropped after the wait.
    const TClock::time_point t2 = t0 + 2s;
    reg.SetNotices(1, 0x0A);
    reg.Receive(request, t2);
    EXPECT_EQ(reg.Poll(t2), notice);
    EXPECT_EQ(reg.NextDeadline(), t2 + TRegister::ReplyWait);
    EXPECT_EQ(reg.Poll(t2 + TRegister::ReplyWait), "");
    reg.Receive("\x04", t2 + TRegister::ReplyWait);
    EXPECT_EQ(reg.Poll(t2 + TRegister::ReplyWait), "");
    EXPECT_EQ(reg.NextDeadline(), TClock::time_point::max());

    // A new request while a notice waits: the host has given up on the first.
    const TClock::time_point t3 = t2 + 2 * TRegister::ReplyWait;
    reg.SetNotices(1, 0x0A);
    reg.Receive(request, t3);
    EXPECT_EQ(reg.Poll(t3), notice);
    reg.Receive(request, t3);
    EXPECT_EQ(reg.Poll(t3), identity);

    // A printer that never gets ready: notices at the interval, the cancel
    // ignored, until the next request, which is answered.
    const TClock::time_point t5 = t3 + 1s;
    reg.InjectFault(TFault::EndlessNotices, 1);
    reg.Receive(request, t5);
    EXPECT_EQ(reg.Poll(t5), notice);
    reg.Receive("\x01", t5);
    EXPECT_EQ(reg.NextDeadline(), t5 + TRegister::EndlessNoticeInterval);
    EXPECT_EQ(reg.Poll(t5 + 100ms), notice + notice);
    reg.Receive(request, t5 + 100ms);
    EXPECT_EQ(reg.Poll(t5 + 1s), identity);
}

TEST(EmulatorProgram, NamesTheOptionOfABadValue) {
    // A fault count too large to queue is refused, not tried.
    // A run that would serve is ended after a few seconds.
    FILE* pipe =
        ::popen("timeout 5 '" KESTOR_EMU_PATH "' --fault garbage:99999999999 2>&1 >/dev/null", "r");
    ASSERT_TRUE(pipe);
    std::string err(256, '\0');
    err.resize(std::fread(err.data(), 1, err.size(), pipe));
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    EXPECT_EQ(err.substr(0, err.find('\n')),
              "kestor-emu: --fault \"garbage:99999999999\": the count is too large");
}

namespace {

namespace fs = std::filesystem;

// A directory of the test's own, removed with everything in it.
struct TStateDir {
    fs::path Path =
        fs::temp_directory_path() / ("kestor-state-" + std::to_string(::getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path File = Path / "register.json";
    TStateDir() { fs::create_directories(Path); }
    ~TStateDir() {
        std::error_code ignored;
        fs::permissions(Path / "read-only", fs::perms(0755), ignored);
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
// Why a register with its state in Path does not start ("" when it does).
std::string StartRefusal(const fs::path& Path) {
    try {
        TRegister reg(WithState(Gen8, Path));
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}
std::string SaleIn(std::string_view Department, std::string_view Amount) {
    return ReceiptHeader('0', "00", '0', Amount, "1", 1) +
           ReceiptItem(Goods, "00", Price(Department, "555", "", "", Amount));
}

}  // namespace

TEST(EmulatorStateFile, RestartGoesOnWhereItStopped) {
    TStateDir dir;
    std::string kept;
    {
        TTestRegister reg(WithState(Gen8, dir.File));
        EXPECT_TRUE(fs::exists(dir.File));
        const std::pair<char, std::string> steps[] = {{'K', SaleIn("7", "100.00")},
                                                      {'5', "2\0"s},
                                                      {'K', SaleIn("3", "20.00")},
                                                      {'[', "210\0"s + Slot("Sweets", 21)},
                                                      {'7', "4321\0"s}};
        for (const auto& [code, data] : steps)
            ASSERT_EQ(ErrorOf(reg.Send(code, data)), "0000") << code;
        kept = StateJson(reg.State(), reg.Register.Config().Firmware);
        EXPECT_EQ(ReadFile(dir.File), kept);
    }
    // Switched on again: the same state, the shift still open, the numbering
    // going on, and the password and serial the register kept in force.
    TRegister again(
        WithState({.Model = mem207_1K, .Serial = "7654321", .Password = "1111"}, dir.File));
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

TEST(EmulatorStateFile, RefusesAFileOrPlaceItCannotTake) {
    TStateDir dir;
    const fs::path& path = dir.File;
    { TRegister fresh(WithState(Gen8, path)); }
    using TJson = nlohmann::json;
    const TJson valid = TJson::parse(ReadFile(path));
    const std::string deep = std::string(40, '[') + std::string(40, ']');
    const auto refused = [&](const std::string& Text, const std::string& Message) {
        WriteFile(path, Text);
        const std::string expected = "state file " + path.string() + ": " + Message;
        EXPECT_EQ(StartRefusal(path).substr(0, expected.size()), expected);
        // The register refuses to start and leaves the file alone.
        EXPECT_EQ(ReadFile(path), Text) << Message;
    };
    refused("{\"format\":", "not JSON: ");
    refused(deep, "nested deeper than any state");
    refused(std::string(MaxStateFileSize + 1, ' '), "larger than 4 MiB");
    refused(valid.dump() + '\0' + "{}",
            "not JSON: a NUL byte at offset " + std::to_string(valid.dump().size()));
    const TJson department = {{"number", 7}, {"sales", {1, 100}}, {"refunds", {0, 0}}};
    // A member set to a value (discarded: removed), and the refusal.
    const std::tuple<const char*, TJson, std::string> edits[] = {
        {"/format", "x", "format: not a kestor-emu state"},
        {"/model", "207.1F",
         "model: a 207.1F register with firmware \"1.0\", not this 207.1K with \"1.0\""},
        {"/shift", TJson::value_t::discarded, "shift: missing"},
        {"/counters/0/1", -1, "counters[0][1]: not a whole number from 0 to 99999999999999"},
        {"/texts/300", "日本", "texts.300: has characters the register cannot store"},
        {"/texts/007", "x", "texts.007: not a text number from 0 to 999"},
        {"/baud_rate", 115200, "baud_rate: not a rate this register runs at"},
        {"/fiscal_memory/days/1/number", 5, "fiscal_memory.days[1].number: not 2"},
        {"/shift/departments", {department, department}, "shift.departments[1]: number 7 again"},
        {"/last_document/date", "2024-02-30T10:00:00",
         "last_document.date: not a date and time such as 2024-03-14T21:05:00"},
        {"/graphic_header",
         {{"width", 2}, {"height", 1}, {"picture", "5A"}, {"enabled", true}},
         "graphic_header.picture: not width x height bytes in hex"},
    };
    for (const auto& [pointer, value, message] : edits) {
        TJson edited = valid;
        if (value.is_discarded())
            edited.erase(pointer + 1);
        else
            edited[TJson::json_pointer(pointer)] = value;
        refused(edited.dump(), message);
    }

    // Places the register cannot keep its state in, refused before anything
    // is read or written.
    WriteFile(path, valid.dump());
    const fs::path fifo = dir.Path / "fifo.json", link = dir.Path / "link.json",
                   folder = dir.Path / "read-only";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(path, link);
    fs::create_directory(folder);
    fs::copy_file(path, folder / "register.json");
    fs::permissions(folder, fs::perms(0555));
    const TRegister holder(WithState(Gen8, path));
    // A FIFO is not waited on for a writer (the test's time-out would end a wait).
    const std::pair<fs::path, std::string> places[] = {
        {fifo, "not a regular file"},
        {link, "a symbolic link; name the file it points to"},
        {folder / "register.json", "folder " + folder.string() + " is read-only (mode 0555)"},
        {path, "in use by another emulator (" + path.string() + ".lock is locked)"},
    };
    for (const auto& [place, message] : places)
        EXPECT_EQ(StartRefusal(place), "state file " + place.string() + ": " + message);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(path), valid.dump());
}

// A change the register cannot keep in its file, or print on its tape, is
// refused and undone; questions are still answered.
TEST(EmulatorStateFile, AChangeThatCannotBeKeptOrPrintedIsRefused) {
    TStateDir dir;
    {
        fs::create_directory(dir.Path / "sub");
        TTestRegister reg(WithState(Gen3, dir.Path / "sub" / "register.json"));
        fs::remove_all(dir.Path / "sub");
        reg.TakeTape();
        EXPECT_EQ(reg.Send('_', "1\0"s + "00\0"s + "\0\0\0"s), Answer('_', "000F"));
        EXPECT_EQ(reg.State().LastDocument.Number, 128);
        EXPECT_EQ(reg.State().Shift.LastXReport, 0);
        EXPECT_EQ(reg.Tape, "");
        EXPECT_EQ(ErrorOf(reg.Send('E')), "0000");
    }
    bool full = true;
    TConfig config = WithState(Gen8, dir.File);
    config.Tape = [&](std::string_view) {
        if (full) throw std::system_error(ENOSPC, std::system_category(), "write /dev/full");
    };
    TRegister reg(config);
    const std::string kept = ReadFile(dir.File);
    const std::string receipt = Request('K', SaleIn("7", "100.00"));
    // The printer stopped: not registered, not numbered, not kept.
    EXPECT_EQ(Exchange(reg, receipt), Answer('K', "0021", {}, "00"));
    EXPECT_EQ(reg.State().LastDocument.Number, 128);
    EXPECT_EQ(reg.RegisteredCount(), 0u);
    EXPECT_EQ(ReadFile(dir.File), kept);
    // Raw output: every byte taken, the answer tells the print failed.
    EXPECT_EQ(Exchange(reg, Request('6')), Answer('6', "0000"));
    EXPECT_EQ(Exchange(reg, "AB\n\x1B\x1B"),
              std::string(5, '\x06') + Answer('6', "0021", {}, "00"));
    full = false;
    EXPECT_EQ(ErrorOf(Exchange(reg, receipt)), "0000");
    EXPECT_EQ(reg.State().LastDocument.Number, 129);
}
