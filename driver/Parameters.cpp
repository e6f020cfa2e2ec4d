// Parameters: the register's numbered settings, read with "\" and written
// with "W", and the typed queries and setters built on them.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;

constexpr uint8_t CmdReadParameter = '\\';
constexpr uint8_t CmdWriteParameter = 'W';

// The answer to "\": the number echoed, the value.
constexpr int ReadAnswerSize = 45;
constexpr int EchoEnd = 3, ValueAt = 4, ValueEnd = 44;

// Read numbers.
constexpr int ParPrinterTimeout = 310;
constexpr int ParDisplayTimeout = 311;
constexpr int ParPrinterContrast = 312;
constexpr int ParLeading = 313;
constexpr int ParHeaderAlignment = 314;
constexpr int ParOperNumber = 315;
constexpr int ParAutocut = 316;
constexpr int ParEconomicMode = 317;
constexpr int ParPaperJournal = 319;
constexpr int ParFullJournal = 320;

// Write indexes.
constexpr uint16_t IdxProtocol = 0;
constexpr uint16_t IdxPrinterTimeout = 1;
constexpr uint16_t IdxDisplayTimeout = 2;
constexpr uint16_t IdxPrinterContrast = 3;
constexpr uint16_t IdxLeading = 4;
constexpr uint16_t IdxCutterDisabled = 5;
constexpr uint16_t IdxNarrowPaper = 6;
constexpr uint16_t IdxHeaderAlignment = 7;
constexpr uint16_t IdxAutocut = 8;
constexpr uint16_t IdxEconomicMode = 9;
constexpr uint16_t IdxPaperJournal = 10;
constexpr uint16_t IdxFullJournal = 11;

constexpr int MaxTimeout = 900;

// The generations that have the parameter table, and the smaller sets.
constexpr std::initializer_list<int> WithParameters = {3, 7, 8};
constexpr std::initializer_list<int> Generations3and7 = {3, 7};

// Flag words of the older registers' line settings.
constexpr uint16_t FlagsBS = 0;
constexpr uint16_t FlagsXOnXOff = 4;

int Low32(int64_t Value) {
    return static_cast<int>(static_cast<uint32_t>(Value));
}

bool IsLineProtocol(TKestProtocol Value) {
    return Value == mprBS || Value == mprXOnXoff;
}

// Most switches are stored inverted: 0 means on.
int Inverted(bool Value) {
    return Value ? 0 : 1;
}

}  // namespace

// -- Checks shared by every service operation

void TKestorFPrt::CheckConnected() const {
    if (!FConnected) throw EKestConnClosed();
}

bool TKestorFPrt::GenerationIn(std::initializer_list<int> Generations) const {
    return std::ranges::find(Generations, FGeneration) != Generations.end();
}

// -- Reading and writing one parameter

void TKestorFPrt::QueryParameter(int Number, TKestParamValue& Value) {
    char request[4] = {};
    EncodeNumber(Number % 1000, -3, false, request);
    char answer[ReadAnswerSize];
    Transfer(CmdReadParameter, mctInternal, request, sizeof request, answer, sizeof answer);
    CheckSeparators({answer[EchoEnd], answer[ValueEnd]});
    if (DecodeFixedNumber(std::string_view(answer, EchoEnd), -EchoEnd) != Number % 1000)
        throw BadResponse(brUnexpected);
    std::memcpy(Value, answer + ValueAt, sizeof Value);
}

std::u16string TKestorFPrt::QueryParameterStr(int Number) {
    TKestParamValue value;
    QueryParameter(Number, value);
    return DecodeString(std::string_view(value, sizeof value), FCoding);
}

int64_t TKestorFPrt::QueryParameterInt(int Number) {
    TKestParamValue value;
    QueryParameter(Number, value);
    return DecodeFixedNumber(std::string_view(value, sizeof value), 0);
}

void TKestorFPrt::SetParameter(uint16_t Index, int Value) {
    CheckConnected();
    if (GenerationIn({1, 2, 6})) throw EKestUnsupported(usSetParameters);
    char request[9] = {};
    EncodeNumber(Value, -3, false, std::span(request, 4));
    WordToHex(Index, std::span(request + 4, 4));
    TransferOut(CmdWriteParameter, mctInternal, request, sizeof request);
}

// -- Typed queries

int64_t TKestorFPrt::QuerySetting(int Number, std::initializer_list<int> Generations) {
    CheckConnected();
    if (!GenerationIn(Generations)) throw EKestUnsupported(usQueryParameters);
    return QueryParameterInt(Number);
}

int TKestorFPrt::QueryPrinterTimeout() {
    return RunCmd([&] { return Low32(QuerySetting(ParPrinterTimeout, WithParameters)); });
}

int TKestorFPrt::QueryDisplayTimeout() {
    return RunCmd([&] { return Low32(QuerySetting(ParDisplayTimeout, Generations3and7)); });
}

int TKestorFPrt::QueryPrinterContrast() {
    return RunCmd([&] { return Low32(QuerySetting(ParPrinterContrast, Generations3and7)); });
}

int TKestorFPrt::QueryLeading() {
    return RunCmd([&] { return Low32(QuerySetting(ParLeading, Generations3and7)); });
}

int TKestorFPrt::QueryOperNumber() {
    return RunCmd([&] { return Low32(QuerySetting(ParOperNumber, WithParameters)); });
}

bool TKestorFPrt::QueryHeaderAlignment() {
    return RunCmd([&] { return Low32(QuerySetting(ParHeaderAlignment, Generations3and7)) == 0; });
}

bool TKestorFPrt::QueryAutocut() {
    return RunCmd([&] { return Low32(QuerySetting(ParAutocut, Generations3and7)) == 0; });
}

bool TKestorFPrt::QueryEconomicMode() {
    return RunCmd([&] { return Low32(QuerySetting(ParEconomicMode, Generations3and7)) == 0; });
}

bool TKestorFPrt::QueryPaperJournal() {
    return RunCmd([&] { return Low32(QuerySetting(ParPaperJournal, WithParameters)) == 0; });
}

bool TKestorFPrt::QueryFullJournal() {
    return RunCmd([&] { return Low32(QuerySetting(ParFullJournal, {8})) == 0; });
}

// -- Setters. The argument is checked before anything else; SetParameter
// checks the connection and the generation.

void TKestorFPrt::SetParameters(TKestProtocol Protocol, int Timeout) {
    RunCmd([&] {
        CheckConnected();
        CheckArg(Timeout >= 0 && Timeout <= MaxTimeout, iaTimeout);
        if (GenerationIn(WithParameters)) {
            SetProtocol(Protocol);
            SetPrinterTimeout(Timeout);
            return;
        }
        CheckArg(IsLineProtocol(Protocol), iaProtocol);
        // The older registers take both in one "W": the time-out and a flag word.
        char request[9] = {};
        EncodeNumber(Timeout, -3, false, std::span(request, 4));
        WordToHex(Protocol == mprXOnXoff ? FlagsXOnXOff : FlagsBS, std::span(request + 4, 4));
        TransferOut(CmdWriteParameter, mctInternal, request, sizeof request);
    });
}

void TKestorFPrt::SetProtocol(TKestProtocol Value) {
    RunCmd([&] {
        CheckArg(IsLineProtocol(Value), iaProtocol);
        SetParameter(IdxProtocol, Value == mprXOnXoff ? 1 : 0);
    });
}

void TKestorFPrt::SetPrinterTimeout(int Value) {
    RunCmd([&] {
        CheckArg(Value >= 0 && Value <= MaxTimeout, iaTimeout);
        SetParameter(IdxPrinterTimeout, Value);
    });
}

void TKestorFPrt::SetDisplayTimeout(int Value) {
    RunCmd([&] {
        CheckArg(Value >= 0 && Value <= MaxTimeout, iaTimeout);
        SetParameter(IdxDisplayTimeout, Value);
    });
}

void TKestorFPrt::SetPrinterContrast(int Value) {
    RunCmd([&] {
        CheckArg(Value >= 0 && Value <= 7, iaContrast);
        SetParameter(IdxPrinterContrast, Value);
    });
}

void TKestorFPrt::SetLeading(int Value) {
    RunCmd([&] {
        CheckArg(Value >= 0 && Value <= 255, iaLeading);
        SetParameter(IdxLeading, Value);
    });
}

void TKestorFPrt::SetCutterDisabled(bool Value) {
    RunCmd([&] { SetParameter(IdxCutterDisabled, Value ? 1 : 0); });
}

void TKestorFPrt::SetNarrowPaper(bool Value) {
    RunCmd([&] { SetParameter(IdxNarrowPaper, Value ? 1 : 0); });
}

void TKestorFPrt::SetHeaderAlignment(bool Value) {
    RunCmd([&] { SetParameter(IdxHeaderAlignment, Inverted(Value)); });
}

void TKestorFPrt::SetAutocut(bool Value) {
    RunCmd([&] { SetParameter(IdxAutocut, Inverted(Value)); });
}

void TKestorFPrt::SetEconomicMode(bool Value) {
    RunCmd([&] { SetParameter(IdxEconomicMode, Inverted(Value)); });
}

void TKestorFPrt::SetPaperJournal(bool Value) {
    RunCmd([&] { SetParameter(IdxPaperJournal, Inverted(Value)); });
}

void TKestorFPrt::SetFullJournal(bool Value) {
    RunCmd([&] { SetParameter(IdxFullJournal, Inverted(Value)); });
}
