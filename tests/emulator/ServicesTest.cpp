// The register's service commands, request and answer byte for byte, on the
// registers that know them and those that refuse them.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Frames.h"

using namespace std::string_literals;
using namespace kest::emu;
using namespace kest::emu::test;

namespace {

struct TCase {
    const char* Name;
    TConfig Config;
    std::vector<std::string> Before;  // requests that must succeed first
    std::string Request;
    std::string Answer;
};

void RunCase(const TCase& Case) {
    TRegister reg(Case.Config);
    for (const std::string& before : Case.Before) {
        const std::string answer = Exchange(reg, before);
        const size_t stx = answer.find('\x02');
        ASSERT_NE(stx, std::string::npos) << Case.Name;
        EXPECT_EQ(answer.substr(stx + 8, 4), "0000") << Case.Name;
    }
    EXPECT_EQ(Exchange(reg, Case.Request), Case.Answer) << Case.Name;
}

std::string Read(std::string_view Number) {
    return Request('\\', Field(Number, 3));
}
std::string Value(std::string_view Number, std::string_view Text) {
    return Answer('\\', "0000", Field(Number, 3) + Field(Text, 40));
}
std::string Write(std::string_view Value, std::string_view Index) {
    return Request('W', Field(Value, 3) + Field(Index, 4));
}

}  // namespace

TEST(RegisterServices, ParametersAndTexts) {
    const std::string setTitle = Request('[', Field("7", 3) + Field("Sale", 20));
    const std::string setHeader =
        Request('9', Field("A", 40) + Field("B", 40) + Field("C", 40) + Field("D", 40));
    const std::string setSerial = Request(']', "\0\0\0\0"s + Field("1234567", 20));
    const TCase cases[] = {
        {"title on generation 2",
         Gen2,
         {setTitle},
         Read("7"),
         Answer('\\', "0000", Field("7", 3) + Field("Sale", 20))},
        {"title on generation 3", Gen3, {setTitle}, Read("7"), Value("7", "Sale")},
        {"number with leading zeros", Gen3, {setTitle}, Read("007"), Value("007", "Sale")},
        {"initial title", Gen3, {}, Read("3"), Value("3", "\x91\x97\xF0\x92")},  // СЧЁТ
        {"no parameters on generation 1", Gen1, {}, Read("3"), Answer('\\', "001D")},
        {"number not digits", Gen3, {}, Read("3a"), Answer('\\', "0005")},
        {"no number", Gen3, {}, Read(""), Answer('\\', "0018")},
        {"setting written and read", Gen3, {Write("45", "0001")}, Read("310"), Value("310", "45")},
        {"full journal on generation 8", Gen8, {}, Read("320"), Value("320", "0")},
        {"full journal on generation 3", Gen3, {}, Read("320"), Answer('\\', "0015")},
        {"no settings on generation 6", Gen6, {}, Read("310"), Answer('\\', "0015")},
        {"operator number", Gen8, {}, Read("315"), Value("315", "1")},
        {"extended status where absent", Gen3, {}, Read("306"), Answer('\\', "0015")},
        {"display time-out on generation 8", Gen8, {}, Write("10", "0002"), Answer('W', "0015")},
        {"contrast above 7", Gen3, {}, Write("8", "0003"), Answer('W', "0015")},
        {"value not digits", Gen3, {}, Write("4a", "0003"), Answer('W', "0005")},
        {"no index 12", Gen3, {}, Write("1", "000C"), Answer('W', "0015")},
        {"header lines", Gen3, {setHeader}, Read("302"), Value("302", "C")},
        {"header line too long",
         Gen1,
         {},
         Request('9', std::string(41, 'x') + Field("", 40) + Field("", 40) + Field("", 40)),
         Answer('9', "0004")},
        {"department",
         Gen7,
         {Request('V', Field("5", 2) + Field("Toys", 40))},
         Read("205"),
         Value("205", "Toys")},
        {"department on generation 8",
         Gen8,
         {},
         Request('V', Field("5", 2) + Field("T", 40)),
         Answer('V', "001D")},
        {"title over a setting",
         Gen3,
         {},
         Request('[', Field("310", 3) + Field("x", 20)),
         Answer('[', "0015")},
        {"title on generation 1", Gen1, {}, setTitle, Answer('[', "001D")},
        {"serial number", Gen3, {setSerial}, Read("307"), Value("307", "1234567")},
        {"serial number on generation 1", Gen1, {}, setSerial, Answer(']', "001D")},
        {"serial of 8 digits",
         Gen2,
         {},
         Request(']', "\0\0\0\0"s + Field("12345678", 20)),
         Answer(']', "0004")},
        {"serial with a letter",
         Gen2,
         {},
         Request(']', "\0\0\0\0"s + Field("12a", 20)),
         Answer(']', "0005")},
        {"empty serial", Gen2, {}, Request(']', "\0\0\0\0"s + Field("", 20)), Answer(']', "0018")},
    };
    for (const TCase& c : cases)
        RunCase(c);

    TRegister reg(Gen8);
    reg.SetExtendedStatus({0x01, 0x00, 0xA5, 0x00, 0x10});
    EXPECT_EQ(Exchange(reg, Read("306")), Value("306", "0100A50010"));
}

TEST(RegisterServices, ProtocolSwitchShowsInTheStatusWord) {
    const struct {
        const char* Name;
        const TConfig* Config;  // the steps of one register run in turn
        std::string Request;
        std::string Error, Status;
    } steps[] = {
        {"indexed form, XON/XOFF", &Gen3, Write("1", "0000"), "0000", "0080"},
        {"indexed form, time-out", &Gen3, Write("30", "0001"), "0000", "0080"},
        {"indexed form, BS", &Gen3, Write("0", "0000"), "0000", "0000"},
        {"indexed form, no protocol 2", &Gen3, Write("2", "0000"), "0015", "0000"},
        {"line form, XON/XOFF", &Gen2, Write("30", "0004"), "0000", "0080"},
        {"line form, BS", &Gen2, Write("900", "0000"), "0000", "0000"},
        {"line form, time-out above 900", &Gen6, Write("901", "0000"), "0015", "0000"},
        {"line form, unknown flag", &Gen6, Write("30", "0002"), "0015", "0000"},
        {"line form, no XON/XOFF on generation 1", &Gen1, Write("30", "0004"), "0015", "0000"},
    };
    std::unique_ptr<TRegister> reg;
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto& s = steps[i];
        if (i == 0 || s.Config != steps[i - 1].Config) reg = std::make_unique<TRegister>(*s.Config);
        EXPECT_EQ(Exchange(*reg, s.Request), Answer('W', s.Error, {}, "08", s.Status)) << s.Name;
    }
}

TEST(RegisterServices, TaxesAndClock) {
    const std::string setTax =
        Request('F', "1\0"s + "12.5\0\0"s + Field("VAT", 20) + "01022030\0"s);
    const std::string taxAt = "01022030\0"s + "0000\0"s;
    const TCase cases[] = {
        {"initial tax",
         Gen3,
         {},
         Request('M', "0\0"s),
         Answer('M', "0000",
                "0\0"s + "18.00\0"s + Field("\x8D\x84\x91 18%", 20) + "01012004\0"s + "0000\0"s)},
        {"tax written and read",
         Gen7,
         {setTax},
         Request('M', "1\0"s),
         Answer('M', "0000", "1\0"s + "12.50\0"s + Field("VAT", 20) + taxAt)},
        {"no tax 5", Gen3, {}, Request('M', "5\0"s), Answer('M', "0015")},
        {"taxes on generation 2", Gen2, {}, Request('M', "0\0"s), Answer('M', "001D")},
        {"rate of 100%",
         Gen3,
         {},
         Request('F', "1\0"s + "100.0\0"s + Field("X", 20) + "01022030\0"s),
         Answer('F', "0015")},
        {"tax dated 31 February",
         Gen3,
         {},
         Request('F', "1\0"s + "1.00\0\0"s + Field("X", 20) + "31022030\0"s),
         Answer('F', "0007")},
        {"setting taxes on generation 1", Gen1, {}, setTax, Answer('F', "001D")},
        {"clock set and read",
         Gen1,
         {Request('G', "01022030\0"s + "1234\0"s)},
         Request('H'),
         Answer('H', "0000", "01022030\0"s + "1234\0"s)},
        {"clock at 24:60", Gen3, {}, Request('G', "01022030\0"s + "2460\0"s), Answer('G', "0008")},
        {"clock on 31 February",
         Gen3,
         {},
         Request('G', "31022030\0"s + "1200\0"s),
         Answer('G', "0007")},
        {"clock in 1999", Gen3, {}, Request('G', "01011999\0"s + "1200\0"s), Answer('G', "0007")},
        {"clock with dots", Gen3, {}, Request('G', "01.02.30\0"s + "1200\0"s), Answer('G', "0005")},
    };
    for (const TCase& c : cases)
        RunCase(c);
}

TEST(RegisterServices, InformationFormsByRegister) {
    // The initial last document: the Z report of shift 42.
    const std::string lastDoc = "01\0"s + "00128\0"s + "14032024\0"s + "2105\0"s + "05\0"s +
                                "000000047900.00\0"s + "00057\0"s + "00042\0"s +
                                "000000000000.00\0"s;
    const std::string shortLastDoc = "01\0"s + "000128\0"s + lastDoc.substr(9, 39);
    const std::string resources =
        "0004\0"s + "1783\0"s + "00003\0"s + "00042\0"s + "14032024\0"s + "2105\0"s + "1000\0"s;
    const std::string drawer = "00000\0"s + "000000034150.00\0"s;
    auto rewrite = [](size_t RegWidth, size_t TaxPayerWidth) {
        return Request('A', Field("1", 5) + Field("87654321", RegWidth) +
                                Field("123456789012", TaxPayerWidth) + "01022030\0"s +
                                Field("2", 5));
    };
    const TCase cases[] = {
        {"last document, generation 1",
         Gen1,
         {},
         Request('J'),
         Answer('J', "0000", lastDoc.substr(0, 42))},
        {"last document, generation 3",
         Gen3,
         {},
         Request('J'),
         Answer('J', "0000", lastDoc.substr(0, 48))},
        {"last document, generation 7",
         Gen7,
         {},
         Request('J'),
         Answer('J', "0000", lastDoc.substr(0, 54))},
        {"last document, generation 8", Gen8, {}, Request('J'), Answer('J', "0000", lastDoc)},
        {"last document, 207.1F-MD B1.2",
         OldMd,
         {},
         Request('J'),
         Answer('J', "0000", lastDoc.substr(0, 48))},
        {"last document, 207.1F-MD B3.0",
         NewMd,
         {},
         Request('J'),
         Answer('J', "0000", shortLastDoc)},
        {"counter, generation 3",
         Gen3,
         {},
         Request('U', Field("11", 4)),
         Answer('U', "0000", Field("11", 4) + drawer)},
        {"counter, generation 8",
         Gen8,
         {},
         Request('U', Field("11", 3)),
         Answer('U', "0000", Field("11", 3) + drawer)},
        {"long counter request on generation 8",
         Gen8,
         {},
         Request('U', Field("1", 4)),
         Answer('U', "0019")},
        {"no counter 13", Gen3, {}, Request('U', Field("13", 4)), Answer('U', "0015")},
        {"counter on generation 1", Gen1, {}, Request('U', Field("1", 3)), Answer('U', "001D")},
        {"counters block on generation 3", Gen3, {}, Request('L'), Answer('L', "001D")},
        {"resources, generation 3",
         Gen3,
         {},
         Request('D', "\0\0"s),
         Answer('D', "0000", resources.substr(0, 36))},
        {"resources, generation 8",
         Gen8,
         {},
         Request('D', "\0\0"s),
         Answer('D', "0000", resources)},
        {"resources printed on generation 3", Gen3, {}, Request('D', "1\0"s), Answer('D', "0015")},
        {"resources printed on generation 6",
         Gen6,
         {},
         Request('D', "1\0"s),
         Acks + Answer('D', "0000", resources.substr(0, 36) + "0000\0"s)},
        {"re-registration, 43 bytes", Gen3, {}, rewrite(8, 12), Acks + Answer('A', "0000", "3\0"s)},
        {"re-registration, 44 bytes",
         OldMd,
         {},
         rewrite(8, 13),
         Acks + Answer('A', "0000", "3\0"s)},
        {"re-registration, 46 bytes",
         NewMd,
         {},
         rewrite(10, 13),
         Acks + Answer('A', "0000", "3\0"s)},
        {"43 bytes to 207.1F-MD B3.0", NewMd, {}, rewrite(8, 12), Answer('A', "0019")},
        {"new registration number", Gen7, {rewrite(8, 12)}, Read("305"), Value("305", "87654321")},
        {"new tax-payer number",
         NewMd,
         {rewrite(10, 13)},
         Read("304"),
         Value("304", "123456789012")},
        {"tax-payer number too long",
         Gen3,
         {},
         Request('A', Field("1", 5) + Field("87654321", 8) + "1234567890123" + "01022030\0"s +
                          Field("2", 5)),
         Answer('A', "0004")},
    };
    for (const TCase& c : cases)
        RunCase(c);

    TRegister old(Gen2);
    const std::string block = Exchange(old, Request('L'));
    ASSERT_EQ(block.size(), 16 + 332 + 3u);
    EXPECT_EQ(block.substr(16, 32), "000001045275.50\0"s + "000000034150.00\0"s);  // 12, 11
    // The last shift's Z report cleared the shift's counters.
    EXPECT_EQ(block.substr(16 + 32, 22), "00000\0"s + "000000000000.00\0"s);   // 0
    EXPECT_EQ(block.substr(16 + 230, 22), "00000\0"s + "000000000000.00\0"s);  // 3

    // Four re-registrations are left, then the register refuses.
    TRegister reg(Gen3);
    for (const char* left : {"3", "2", "1", "0"})
        EXPECT_EQ(Exchange(reg, rewrite(8, 12)), Acks + Answer('A', "0000", left + "\0"s));
    EXPECT_EQ(Exchange(reg, rewrite(8, 12)), Answer('A', "0013"));
}

TEST(RegisterServices, GraphicHeader) {
    const std::string head = Field("1", 4) + Field("2", 4);
    const std::string disable = Field("1", 4) + Field("1", 4) + "80\0"s + "\0\0\0"s;
    TRegister reg(Gen3);
    EXPECT_EQ(Exchange(reg, Request('3', head + "00\0"s + "5A0F\0"s)), Answer('3', "0000"));
    const TGraphicHeader& header = reg.State().GraphicHeader;
    EXPECT_EQ(header.Picture, "\x5A\x0F");
    EXPECT_TRUE(header.Enabled);
    EXPECT_EQ(Exchange(reg, Request('3', disable)), Answer('3', "0000"));
    EXPECT_FALSE(header.Enabled);
    EXPECT_EQ(header.Picture, "\x5A\x0F");

    const TCase cases[] = {
        {"lower-case hex", Gen7, {}, Request('3', head + "00\0"s + "5a0f\0"s), Answer('3', "0005")},
        {"picture one digit short",
         Gen7,
         {},
         Request('3', head + "00\0"s + "5A0\0"s),
         Answer('3', "0019")},
        {"width 71",
         Gen3,
         {},
         Request('3', Field("71", 4) + Field("1", 4) + "00\0"s),
         Answer('3', "0015")},
        {"unknown flag", Gen3, {}, Request('3', head + "40\0"s + "5A0F\0"s), Answer('3', "0015")},
        {"head cut short", Gen3, {}, Request('3', head), Answer('3', "0019")},
        {"generation 8", Gen8, {}, Request('3', disable), Answer('3', "001D")},
    };
    for (const TCase& c : cases)
        RunCase(c);
}

TEST(RegisterServices, ProtectedJournal) {
    auto report = [](char Type, std::string_view First, std::string_view Last = {}) {
        return Request('Y', Type + "\0"s + Field(First, 8) + Field(Last, 8));
    };
    const struct {
        std::string Request, Answer;
    } steps[] = {
        {report('1', "12"), Answer('Y', "004A")},  // not activated yet
        {Request('Z'), Answer('Z', "004A")},
        {Request('X'), Acks + Answer('X', "0000")},
        {Request('X'), Answer('X', "004D")},
        {Read("318"), Value("318", "0008")},
        {report('0', ""), Acks + Answer('Y', "0000")},
        {report('1', "12"), Acks + Answer('Y', "0000")},
        {report('7', "43"), Answer('Y', "0038")},  // shift 43 is not closed yet
        {report('1', "0"), Answer('Y', "0015")},
        {report('2', "5", "3"), Answer('Y', "0038")},
        {report('3', "3", "5"), Acks + Answer('Y', "0000")},
        {report('4', "01012024", "14032024"), Acks + Answer('Y', "0000")},
        {report('5', "31022024", "14032024"), Answer('Y', "0007")},
        {report('6', "0"), Acks + Answer('Y', "0000")},
        {report('6', "129"), Answer('Y', "0038")},
        {report('8', ""), Answer('Y', "0015")},
        {Request('Z'), Acks + Answer('Z', "0000")},
        {Request('Z'), Answer('Z', "004F")},
        {Read("318"), Value("318", "000C")},
        {report('1', "12"), Acks + Answer('Y', "0000")},
    };
    TRegister reg(Gen7);
    for (const auto& s : steps)
        EXPECT_EQ(Exchange(reg, s.Request), s.Answer) << s.Request.substr(1, 1) << s.Request[7];

    TRegister none(Gen3);
    for (char code : {'X', 'Z'})
        EXPECT_EQ(Exchange(none, Request(code)), Answer(code, "001D"));
    EXPECT_EQ(Exchange(none, report('0', "")), Answer('Y', "001D"));
    EXPECT_EQ(Exchange(none, Read("318")), Answer('\\', "0015"));
}
