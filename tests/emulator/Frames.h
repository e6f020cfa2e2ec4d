// Request and answer frames and document records written from the wire
// format, not from the emulator's own helpers; one exchange with a register,
// and a register whose paper tape a test reads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Register.h"

namespace kest::emu::test {

using namespace std::string_literals;

// Text, then 0x00 up to Size bytes; a field is a slot with its separator.
inline std::string Slot(std::string_view Text, size_t Size) {
    std::string slot(Text);
    slot.resize(Size, '\0');
    return slot;
}
inline std::string Field(std::string_view Text, size_t Width) {
    return Slot(Text, Width + 1);
}

// A register of each generation, and the Moldavian coding from B3.0.
inline const TConfig Gen1{.Firmware = "1.0 B"}, Gen2{.Firmware = "2.0"}, Gen3{},
    Gen6{.Model = memStationF}, Gen7{.Model = memPCK}, Gen8{.Model = mem207_1K},
    NewMd{.Model = mem207_1FMD, .Firmware = "1.0 MD B3.0"};

// STX, the body, its sum as two upper-case hex digits, ETX.
inline std::string Framed(std::string_view Body) {
    static const char digits[] = "0123456789ABCDEF";
    unsigned sum = 0;
    for (char c : Body)
        sum += static_cast<uint8_t>(c);
    return '\x02' + std::string(Body) + digits[(sum >> 4) & 0x0F] + digits[sum & 0x0F] + '\x03';
}
inline std::string Request(char Code, std::string_view Data = {}, std::string Password = "5862") {
    Password.resize(4, '\0');
    return Framed(Code + Password + '\0' + std::string(Data));
}
inline std::string Answer(char Echo, std::string_view Error, std::string_view Data = {},
                          std::string_view Device = "08", std::string_view Status = "0000") {
    return Framed(Echo + "\0"s + std::string(Status) + '\0' + std::string(Error) + '\0' +
                  std::string(Device) + '\0' + std::string(Data));
}
// The ACKs of a printing command, and its successful answer with status word Status.
inline const std::string Acks = "\x06\x06";
inline std::string Printed(char Echo, std::string_view Status) {
    return Acks + Answer(Echo, "0000", {}, "08", Status);
}
// The error code of an answer.
inline std::string ErrorOf(std::string_view Answer) {
    const size_t stx = Answer.find('\x02');
    return stx == std::string_view::npos ? "" : std::string(Answer.substr(stx + 8, 4));
}

// The identification data of the default register: КЕСТОР-207.1Ф, ЗАО "Кестор".
inline std::string DefaultIdentity() {
    return "0000001\0"s + Slot("\x8A\x85\x91\x92\x8E\x90-207.1\x94", 31) +
           Slot("\x87\x80\x8E \"\x8A\xA5\xE1\xE2\xAE\xE0\"", 31) + Slot("1.0 VLS B2.5", 31);
}

// Feeds one request to a register and returns what it sends at once.
inline std::string Exchange(TRegister& Register, std::string_view Bytes) {
    const auto now = TRegister::TClock::now();
    Register.Receive(Bytes, now);
    return Register.Poll(now);
}

// A register whose tape the test reads, its clock at 15.03.2024 10:15.
struct TTestRegister {
    std::string Tape;
    TRegister Register;

    explicit TTestRegister(TConfig Config) : Register(WithTape(std::move(Config), Tape)) {
        Exchange(Register, Request('G', "15032024\0"s + "1015\0"s));
    }
    static TConfig WithTape(TConfig Config, std::string& Tape) {
        Config.Tape = [&Tape](std::string_view Text) { Tape += Text; };
        return Config;
    }
    std::string Send(char Code, std::string_view Data = {}) {
        return Exchange(Register, Request(Code, Data));
    }
    // The tape printed since the last call.
    std::string TakeTape() { return std::exchange(Tape, {}); }
    const TEcrState& State() const { return Register.State(); }
};

// A request to a fresh register after requests that must succeed; the
// answer it must get, whole or its error code alone, and a text the tape
// must show for it ("" for none). A refused request registers, prints and
// changes nothing.
struct TCase {
    TConfig Config;
    std::vector<std::string> Before;
    std::string Request, Answer;
    std::optional<std::string> Tape = {};
};
inline void RunCases(std::initializer_list<TCase> Cases) {
    int row = 0;
    for (const TCase& c : Cases) {
        SCOPED_TRACE("row " + std::to_string(++row));
        TTestRegister reg(c.Config);
        for (const std::string& before : c.Before)
            EXPECT_EQ(ErrorOf(Exchange(reg.Register, before)), "0000");
        reg.TakeTape();
        const uint16_t status = reg.State().Status;
        const size_t registered = reg.Register.RegisteredCount();
        const std::string answer = Exchange(reg.Register, c.Request);
        EXPECT_EQ(c.Answer.size() == 4 ? ErrorOf(answer) : answer, c.Answer);
        if (ErrorOf(answer) != "0000" && !answer.empty()) {
            EXPECT_EQ(reg.State().Status, status);
            EXPECT_EQ(reg.Register.RegisteredCount(), registered);
            EXPECT_EQ(reg.Tape, "");
        }
        if (c.Tape) {
            EXPECT_TRUE(c.Tape->empty() ? reg.Tape.empty()
                                        : reg.Tape.find(*c.Tape) != reg.Tape.npos)
                << reg.Tape;
        }
    }
}

// "Какой-то товар" in code page 866.
inline const std::string Goods = "\x8A\xA0\xAA\xAE\xA9-\xE2\xAE \xE2\xAE\xA2\xA0\xE0";

// An item's price block: of standard receipts and custom documents, and with
// CodeSize 7 of composite documents (then the unit's name).
inline std::string Price(std::string_view Department, std::string_view Code,
                         std::string_view Adjustment, std::string_view Quantity,
                         std::string_view Amount, size_t CodeSize = 5) {
    return Slot(Department, 3) + Slot(Code, CodeSize) + Slot(Adjustment, 6) + Slot(Quantity, 12) +
           Slot(Amount, 12);
}

// A standard receipt's header and items.
inline std::string ReceiptHeader(char Operation, std::string_view Flags, char PayType,
                                 std::string_view Payment, std::string_view Account, int Count) {
    return Slot({&Operation, 1}, 2) + Slot(Flags, 3) + Slot("0", 2) + Slot({&PayType, 1}, 2) +
           Slot(Payment, 21) + Slot(Account, 41) + Slot(std::to_string(Count), 4);
}
inline std::string ReceiptItem(std::string_view Name, std::string_view Flags,
                               std::string_view Price) {
    return Slot(Name, 41) + Slot(Flags, 3) + std::string(Price);
}

// A composite document's header and its 61-byte property records.
inline std::string FiscalHeader(char Operation, std::string_view Mode, size_t Count) {
    return Slot({&Operation, 1}, 2) + Slot(Mode, 3) + Slot(std::to_string(Count), 4);
}
inline std::string PropertyV03(std::string_view Code, std::string_view Flags, int X, int Y,
                               std::string_view Data = {}) {
    const std::string head =
        Slot(Code, 3) + Slot(Flags, 5) + Slot(std::to_string(X), 3) + Slot(std::to_string(Y), 4);
    return head + (Code == "11" ? Slot(Data, 46) : Slot("", 5) + Slot(Data, 41));
}

}  // namespace kest::emu::test
