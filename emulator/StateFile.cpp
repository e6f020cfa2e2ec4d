#include "StateFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Fields.h"

namespace kest::emu {

namespace {

using TJson = nlohmann::ordered_json;  // written in the order below

constexpr int FormatVersion = 1;
constexpr int MaxDepth = 6;                 // the format nests five levels deep
constexpr int64_t MaxSum = 99999999999999;  // a counter's 15 characters
constexpr int64_t MaxCount = 99999;
constexpr double MaxClockOffset = 36525;  // days: a century either way
constexpr std::string_view DocumentTypes = "0123456ACDEF";

[[noreturn]] void Refuse(const std::string& Where, const std::string& Why) {
    throw std::runtime_error((Where.empty() ? "the file" : Where) + ": " + Why);
}

// A value of the file and where it is, for the message that refuses it.
class TValue {
public:
    TValue(const TJson& Value, std::string Where) : FValue(Value), FWhere(std::move(Where)) {}

    TValue operator[](const char* Key) const {
        if (!FValue.is_object()) Refuse(FWhere, "not an object");
        const auto it = FValue.find(Key);
        const std::string where = FWhere.empty() ? Key : FWhere + "." + Key;
        if (it == FValue.end()) Refuse(where, "missing");
        return {*it, where};
    }
    TValue At(size_t Index) const {
        return {FValue.at(Index), FWhere + "[" + std::to_string(Index) + "]"};
    }
    // An array of Min..Max elements.
    size_t Size(size_t Min, size_t Max) const {
        if (!FValue.is_array()) Refuse(FWhere, "not an array");
        if (FValue.size() < Min || FValue.size() > Max)
            Refuse(FWhere, Min == Max ? "not of " + std::to_string(Min) + " elements"
                                      : "not of " + std::to_string(Min) + " to " +
                                            std::to_string(Max) + " elements");
        return FValue.size();
    }
    int64_t Int(int64_t Min, int64_t Max) const {
        // Every number from 0 up comes unsigned; read as signed, one above
        // the signed range would wrap round to a negative one.
        bool fits = false;
        if (FValue.is_number_unsigned()) {
            const uint64_t value = FValue.get<uint64_t>();
            fits = Max >= 0 && value <= uint64_t(Max) && (Min <= 0 || value >= uint64_t(Min));
        } else if (FValue.is_number_integer()) {
            fits = FValue.get<int64_t>() >= Min && FValue.get<int64_t>() <= Max;
        }
        if (!fits)
            Refuse(FWhere,
                   "not a whole number from " + std::to_string(Min) + " to " + std::to_string(Max));
        return FValue.get<int64_t>();
    }
    bool Bool() const {
        if (!FValue.is_boolean()) Refuse(FWhere, "not true or false");
        return FValue.get<bool>();
    }
    double Number(double Min, double Max) const {
        if (!FValue.is_number()) Refuse(FWhere, "not a number");
        const double value = FValue.get<double>();
        if (!std::isfinite(value) || value < Min || value > Max) Refuse(FWhere, "out of range");
        return value;
    }
    const std::string& String() const {
        if (!FValue.is_string()) Refuse(FWhere, "not a string");
        return FValue.get_ref<const std::string&>();
    }
    // Text as the register stores it: Width code page bytes at most, every
    // character one the register has.
    std::string Text(const TEcrState& State, size_t Width) const {
        const std::u16string text = FromUtf8(String());
        std::vector<char> buf(text.size() * 2 + 2);
        TKestorFPrt::EncodeString(text, buf, State.Coding);
        const std::string bytes(buf.data());
        if (TKestorFPrt::DecodeString(bytes, State.Coding) != text)
            Refuse(FWhere, "has characters the register cannot store");
        if (bytes.size() > Width) Refuse(FWhere, "longer than " + std::to_string(Width) + " bytes");
        return bytes;
    }
    TKestDateTime Date() const {
        TKestDateTime value = 0;
        try {
            value = ParseIso(String());
        } catch (const std::invalid_argument&) {
            Refuse(FWhere, "not a date and time such as 2024-03-14T21:05:00");
        }
        return value;
    }
    const TJson& Json() const { return FValue; }
    const std::string& Where() const { return FWhere; }

private:
    const TJson& FValue;
    std::string FWhere;
};

std::string Utf8(const TEcrState& State, std::string_view Bytes) {
    return ToUtf8(TKestorFPrt::DecodeString(Bytes.substr(0, Bytes.find('\0')), State.Coding));
}

// The settings under their names.
struct TSettingName {
    const char* Name;
    int TSettings::*Field;
    int Max;
};
constexpr TSettingName SettingNames[] = {
    {"printer_timeout", &TSettings::PrinterTimeout, 900},
    {"display_timeout", &TSettings::DisplayTimeout, 900},
    {"printer_contrast", &TSettings::PrinterContrast, 7},
    {"leading", &TSettings::Leading, 255},
    {"cutter_disabled", &TSettings::CutterDisabled, 1},
    {"narrow_paper", &TSettings::NarrowPaper, 1},
    {"header_alignment", &TSettings::HeaderAlignment, 1},
    {"autocut", &TSettings::Autocut, 1},
    {"economic_mode", &TSettings::EconomicMode, 1},
    {"paper_journal", &TSettings::PaperJournal, 1},
    {"full_journal", &TSettings::FullJournal, 1},
};

TJson CounterJson(const TCounter& Counter) {
    return TJson::array({Counter.Count, Counter.Sum});
}
TCounter ReadCounter(const TValue& Value, int64_t MinSum) {
    Value.Size(2, 2);
    return {int(Value.At(0).Int(0, MaxCount)), Value.At(1).Int(MinSum, MaxSum)};
}

// Departments and operators are numbered alike.
static_assert(OperatorCount == DepartmentCount);

TJson TotalsJson(const std::array<TShiftTotals, DepartmentCount>& Totals) {
    TJson out = TJson::array();
    for (int i = 0; i < DepartmentCount; ++i)
        if (Totals[i].Sales.Count != 0 || Totals[i].Refunds.Count != 0)
            out.push_back({{"number", i},
                           {"sales", CounterJson(Totals[i].Sales)},
                           {"refunds", CounterJson(Totals[i].Refunds)}});
    return out;
}
// Only the ones that counted something are written; each number once.
std::array<TShiftTotals, DepartmentCount> ReadTotals(const TValue& Value) {
    std::array<TShiftTotals, DepartmentCount> totals{};
    std::array<bool, DepartmentCount> seen{};
    const size_t count = Value.Size(0, DepartmentCount);
    for (size_t i = 0; i < count; ++i) {
        const TValue item = Value.At(i);
        const int number = int(item["number"].Int(0, DepartmentCount - 1));
        if (seen[number]) Refuse(item.Where(), "number " + std::to_string(number) + " again");
        seen[number] = true;
        // Item voids and discounts may leave a department below zero.
        totals[number] = {ReadCounter(item["sales"], -MaxSum),
                          ReadCounter(item["refunds"], -MaxSum)};
    }
    return totals;
}

std::string HexText(std::string_view Bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : Bytes) {
        out += digits[uint8_t(c) >> 4];
        out += digits[uint8_t(c) & 0x0F];
    }
    return out;
}

// Reads a whole file of at most MaxStateFileSize bytes; false when there is
// none.
bool ReadFile(const std::string& Path, std::string& Text) {
    // Not waiting for a FIFO's writer, nor following a link put in place
    // since the checks of TStateFile.
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        Refuse("state file " + Path, errno == ELOOP ? "a symbolic link" : std::strerror(errno));
    }
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    Text.clear();
    char buf[65536];
    ssize_t n = 0;
    while (regular && Text.size() <= MaxStateFileSize && (n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        Text.append(buf, size_t(n));
    }
    const int error = errno;
    ::close(fd);
    if (!regular) Refuse("state file " + Path, "not a regular file");
    if (n < 0) Refuse("state file " + Path, std::strerror(error));
    if (Text.size() > MaxStateFileSize) Refuse("state file " + Path, "larger than 4 MiB");
    return true;
}

// 0, or the error that stopped the writing.
int WriteAll(int Fd, std::string_view Text) {
    while (!Text.empty()) {
        const ssize_t n = ::write(Fd, Text.data(), Text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        Text.remove_prefix(size_t(n));
    }
    return 0;
}

}  // namespace

std::string StateJson(const TEcrState& State, std::string_view Firmware) {
    TJson settings = TJson::object();
    for (const TSettingName& s : SettingNames)
        settings[s.Name] = State.Settings.*s.Field;
    TJson taxes = TJson::array();
    for (const TTax& tax : State.Taxes)
        taxes.push_back(
            {{"rate", tax.Rate}, {"name", Utf8(State, tax.Name)}, {"date", FormatIso(tax.Date)}});
    TJson texts = TJson::object();
    for (int i = 0; i < TextCount; ++i)
        if (!State.Texts[i].empty()) texts[std::to_string(i)] = Utf8(State, State.Texts[i]);
    TJson counters = TJson::array();
    for (const TCounter& c : State.Counters)
        counters.push_back(CounterJson(c));
    const TLastDocument& last = State.LastDocument;
    TJson days = TJson::array();
    for (const TDayRecord& day : State.DayRecords)
        days.push_back({{"number", day.Number},
                        {"date", FormatIso(day.Date)},
                        {"sales", day.Sales},
                        {"buyings", day.Buyings}});
    const TGraphicHeader& picture = State.GraphicHeader;

    const TJson state = {
        {"format", "kestor-emu state"},
        {"version", FormatVersion},
        {"model", State.Model->Option},
        {"firmware", Firmware},
        {"serial", Utf8(State, State.Serial)},
        {"password", Utf8(State, State.Password)},
        {"baud_rate", State.BaudRate},
        {"display_baud_rate", State.DisplayBaudRate},
        {"xon_xoff", bool(State.Status & EcrXonXoff)},
        {"tax_payer_number", Utf8(State, State.TaxPayerNumber)},
        {"reg_number", Utf8(State, State.RegNumber)},
        {"inspector_password", Utf8(State, State.InspectorPassword)},
        {"clock_offset_days", State.ClockOffset},
        {"operator", State.Operator},
        {"settings", settings},
        {"taxes", taxes},
        {"texts", texts},
        {"counters", counters},
        {"last_document",
         {{"type", std::string(1, last.Type)},
          {"operator", last.Operator},
          {"number", last.Number},
          {"receipt", last.Receipt},
          {"report", last.Report},
          {"date", FormatIso(last.Date)},
          {"sum", last.Sum},
          {"buying_sum", last.BuyingSum}}},
        {"shift",
         {{"open", bool(State.Status & EcrShiftOpen)},
          {"opened", FormatIso(State.Shift.Opened)},
          {"last_x_report", State.Shift.LastXReport},
          {"departments", TotalsJson(State.Shift.Departments)},
          {"operators", TotalsJson(State.Shift.Operators)}}},
        {"fiscal_memory",
         {{"rewrites_remain", State.Resources.RewritesRemain},
          {"days_remain", State.Resources.DaysRemain},
          {"last_fiscal_report", State.Resources.LastFiscalReport},
          {"day_closed", FormatIso(State.Resources.DayClosed)},
          {"days", days}}},
        {"graphic_header",
         {{"width", picture.Width},
          {"height", picture.Height},
          {"picture", HexText(picture.Picture)},
          {"enabled", picture.Enabled}}},
        {"journal", {{"status", State.Journal.Status}, {"rest", State.Journal.Rest}}},
    };
    return state.dump(1, ' ', false) + "\n";
}

void ReadState(TEcrState& State, std::string_view Firmware, std::string_view Text) {
    // The parser takes a NUL for the end of the text and would not see what
    // follows it.
    if (const size_t nul = Text.find('\0'); nul != std::string_view::npos)
        Refuse("not JSON", "a NUL byte at offset " + std::to_string(nul));
    TJson json;
    try {
        json = TJson::parse(Text, [](int Depth, TJson::parse_event_t, TJson&) {
            if (Depth > MaxDepth) throw std::runtime_error("nested deeper than any state");
            return true;
        });
    } catch (const TJson::exception& e) {
        // The library's message says where the text is broken.
        Refuse("not JSON", e.what());
    }
    const TValue root(json, "");
    if (root["format"].String() != "kestor-emu state") Refuse("format", "not a kestor-emu state");
    if (root["version"].Int(0, std::numeric_limits<int>::max()) != FormatVersion)
        Refuse("version", "not " + std::to_string(FormatVersion));
    if (root["model"].String() != State.Model->Option || root["firmware"].String() != Firmware)
        Refuse("model", "a " + root["model"].String() + " register with firmware \"" +
                            root["firmware"].String() + "\", not this " +
                            std::string(State.Model->Option) + " with \"" + std::string(Firmware) +
                            "\"");

    // Read into a copy: a refused file leaves the register as it was.
    TEcrState s = State;
    const std::string serial = root["serial"].Text(s, 7);
    if (serial.empty()) Refuse("serial", "empty");
    s.Serial = SlotField(serial, 7);
    s.Password = root["password"].Text(s, 4);
    s.Password.resize(4, '\0');
    const auto rate = [&](const char* Key) {
        const int value = int(root[Key].Int(0, 115200));
        const bool fastLine = s.Generation == 3 || s.Generation == 7;
        if ((value != 9600 && value != 19200 && value != 57600 && value != 115200) ||
            (value > 19200 && !fastLine && Key == std::string_view("baud_rate")))
            Refuse(Key, "not a rate this register runs at");
        return value;
    };
    s.BaudRate = rate("baud_rate");
    s.DisplayBaudRate = rate("display_baud_rate");
    const bool xonXoff = root["xon_xoff"].Bool();
    if (xonXoff && s.Generation <= 1) Refuse("xon_xoff", "generation 1 has the BS protocol only");
    s.TaxPayerNumber = root["tax_payer_number"].Text(s, 13);
    s.RegNumber = root["reg_number"].Text(s, 10);
    s.InspectorPassword = root["inspector_password"].Text(s, InspectorPasswordWidth);
    s.ClockOffset = root["clock_offset_days"].Number(-MaxClockOffset, MaxClockOffset);
    s.Operator = int(root["operator"].Int(0, OperatorCount - 1));

    const TValue settings = root["settings"];
    for (const TSettingName& n : SettingNames)
        s.Settings.*n.Field = int(settings[n.Name].Int(0, n.Max));

    const TValue taxes = root["taxes"];
    taxes.Size(TaxCount, TaxCount);
    for (int i = 0; i < TaxCount; ++i) {
        const TValue tax = taxes.At(i);
        s.Taxes[i] = {int(tax["rate"].Int(0, 9999)), tax["name"].Text(s, TaxNameWidth),
                      tax["date"].Date()};
    }

    const TValue texts = root["texts"];
    if (!texts.Json().is_object()) Refuse("texts", "not an object");
    s.Texts.fill({});
    for (const auto& [key, value] : texts.Json().items()) {
        int number = -1;
        const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), number);
        if (error != std::errc() || end != key.data() + key.size() || number < 0 ||
            number >= TextCount || key != std::to_string(number))
            Refuse("texts." + key, "not a text number from 0 to " + std::to_string(TextCount - 1));
        s.Texts[number] = TValue(value, "texts." + key).Text(s, ValueWidth);
    }

    const TValue counters = root["counters"];
    counters.Size(CounterCount, CounterCount);
    for (int i = 0; i < CounterCount; ++i)
        s.Counters[i] = ReadCounter(counters.At(i), 0);

    const TValue last = root["last_document"];
    const std::string& type = last["type"].String();
    if (type.size() != 1 || DocumentTypes.find(type[0]) == std::string_view::npos)
        Refuse(last.Where() + ".type", "not a document type");
    s.LastDocument = {.Type = type[0],
                      .Operator = int(last["operator"].Int(0, OperatorCount - 1)),
                      .Number = int(last["number"].Int(0, 999999)),
                      .Receipt = int(last["receipt"].Int(0, MaxCount)),
                      .Report = int(last["report"].Int(0, MaxCount)),
                      .Date = last["date"].Date(),
                      .Sum = last["sum"].Int(0, MaxSum),
                      .BuyingSum = last["buying_sum"].Int(0, MaxSum)};

    const TValue memory = root["fiscal_memory"];
    const TValue days = memory["days"];
    const size_t dayCount = days.Size(0, MaxDayRecords);
    s.DayRecords.clear();
    for (size_t i = 0; i < dayCount; ++i) {
        const TValue day = days.At(i);
        const TDayRecord record = {int(day["number"].Int(0, MaxDayRecords)), day["date"].Date(),
                                   day["sales"].Int(0, MaxSum), day["buyings"].Int(0, MaxSum)};
        // The records follow the shifts they closed, one by one.
        if (record.Number != int(i) + 1)
            Refuse(day.Where() + ".number", "not " + std::to_string(i + 1));
        s.DayRecords.push_back(record);
    }
    s.Resources = {.RewritesRemain = int(memory["rewrites_remain"].Int(0, 9999)),
                   .DaysRemain = int(memory["days_remain"].Int(0, 9999)),
                   .LastFiscalReport = int(memory["last_fiscal_report"].Int(0, MaxCount)),
                   .LastDayClosing = int(dayCount),
                   .DayClosed = memory["day_closed"].Date()};

    const TValue shift = root["shift"];
    const bool open = shift["open"].Bool();
    s.Shift = {.Opened = shift["opened"].Date(),
               .LastXReport = int(shift["last_x_report"].Int(0, MaxCount)),
               .Departments = ReadTotals(shift["departments"]),
               .Operators = ReadTotals(shift["operators"])};

    const TValue picture = root["graphic_header"];
    TGraphicHeader header = {int(picture["width"].Int(0, 70)),
                             int(picture["height"].Int(0, 120)),
                             {},
                             picture["enabled"].Bool()};
    const std::string& hex = picture["picture"].String();
    if (hex.size() != size_t(2 * header.Width * header.Height))
        Refuse(picture.Where() + ".picture", "not width x height bytes in hex");
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigitValue(hex[i]), low = HexDigitValue(hex[i + 1]);
        if (high < 0 || low < 0) Refuse(picture.Where() + ".picture", "not hex digits");
        header.Picture += char(high * 16 + low);
    }
    if (header.Enabled && header.Picture.empty())
        Refuse(picture.Where() + ".enabled", "no picture to print");
    s.GraphicHeader = std::move(header);

    const TValue journal = root["journal"];
    s.Journal = {uint16_t(journal["status"].Int(0, 0xFFFF)), int(journal["rest"].Int(0, 9999))};

    s.Status = uint16_t((xonXoff ? EcrXonXoff : 0) | (open ? EcrShiftOpen : 0));
    s.Documents = {};
    s.Output = {};
    s.Paper.clear();
    State = std::move(s);
}

namespace {

// The file's write permission by its mode, which root has to respect too, and
// by the system for anyone else.
bool Writable(const std::string& Path, const struct stat& St) {
    return (St.st_mode & 0222) != 0 && ::faccessat(AT_FDCWD, Path.c_str(), W_OK, AT_EACCESS) == 0;
}

std::string Mode(const struct stat& St) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(St.st_mode & 07777));
    return text;
}

}  // namespace

TStateFile::TStateFile(std::string Path) : FPath(std::move(Path)), FLockPath(FPath + ".lock") {
    const std::string where = "state file " + FPath;
    struct stat st {};
    if (::lstat(FPath.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) Refuse(where, "a symbolic link; name the file it points to");
        if (!S_ISREG(st.st_mode)) Refuse(where, "not a regular file");
        if (!Writable(FPath, st)) Refuse(where, "read-only (mode " + Mode(st) + ")");
    } else if (errno != ENOENT) {
        Refuse(where, std::strerror(errno));
    }

    // Each write goes into a new file beside it: the folder must take one.
    std::string folder = std::filesystem::path(FPath).parent_path().string();
    if (folder.empty()) folder = ".";
    if (::stat(folder.c_str(), &st) < 0)
        Refuse(where, "folder " + folder + ": " + std::strerror(errno));
    if ((st.st_mode & 0222) == 0)
        Refuse(where, "folder " + folder + " is read-only (mode " + Mode(st) + ")");
    std::string probe = FPath + ".XXXXXX";
    if (const int fd = ::mkstemp(probe.data()); fd >= 0) {
        ::close(fd);
        ::unlink(probe.c_str());
    } else {
        Refuse(where, "cannot write in folder " + folder + ": " + std::strerror(errno));
    }

    // The lock is taken on the file that the name points to now: another
    // emulator's destructor may have removed the one we opened.
    for (;;) {
        FLock = TFd(::open(FLockPath.c_str(),
                           O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0600));
        if (FLock.Get() < 0) Refuse(where, FLockPath + ": " + std::strerror(errno));
        struct stat held {};
        if (::fstat(FLock.Get(), &held) < 0 || !S_ISREG(held.st_mode))
            Refuse(where, FLockPath + ": not a regular file");
        if (::flock(FLock.Get(), LOCK_EX | LOCK_NB) < 0) {
            if (errno == EWOULDBLOCK)
                Refuse(where, "in use by another emulator (" + FLockPath + " is locked)");
            Refuse(where, FLockPath + ": " + std::strerror(errno));
        }
        struct stat named {};
        if (::stat(FLockPath.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino)
            break;
    }
}

TStateFile::~TStateFile() {
    // Removed before it is let go: whoever opened it meanwhile finds, once
    // locked, that it is no longer the lock file and takes a new one.
    if (FLock.Get() >= 0) ::unlink(FLockPath.c_str());
}

bool TStateFile::Load(TEcrState& State, std::string_view Firmware) {
    std::string text;
    if (!ReadFile(FPath, text)) return false;
    try {
        ReadState(State, Firmware, text);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("state file " + FPath + ": " + e.what());
    }
    FSaved = StateJson(State, Firmware);
    return true;
}

void TStateFile::Save(const TEcrState& State, std::string_view Firmware) {
    std::string text = StateJson(State, Firmware);
    if (text == FSaved) return;
    std::string temporary = FPath + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) Refuse("state file " + FPath, std::strerror(errno));
    // mkstemp makes it 0600; the file keeps the permissions it was given.
    struct stat st {};
    int error = ::stat(FPath.c_str(), &st) == 0 && ::fchmod(fd, st.st_mode & 07777) < 0 ? errno : 0;
    if (error == 0) error = WriteAll(fd, text);
    if (error == 0 && ::fsync(fd) < 0) error = errno;
    if (::close(fd) < 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), FPath.c_str()) < 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        Refuse("state file " + FPath, std::strerror(error));
    }
    FSaved = std::move(text);
}

}  // namespace kest::emu
