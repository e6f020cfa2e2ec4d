// Texts: the header lines, titles, department and operator names, tax rates
// and the serial number. They are read as parameters and written with one
// command per kind of text.
#include <algorithm>
#include <string_view>

#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;

constexpr uint8_t CmdReadParameter = '\\';
constexpr uint8_t CmdHeader = '9';
constexpr uint8_t CmdDepartName = 'V';
constexpr uint8_t CmdTitle = '[';
constexpr uint8_t CmdSerialNumber = ']';

// Read numbers: header lines from 300, departments from 200, operators from 400.
constexpr int ParHeaderLine0 = 299;
constexpr int ParDepart0 = 200;
constexpr int ParOper0 = 400;

// Field sizes with their 0x00.
constexpr int HeaderLineField = 41;
constexpr int TitleField = 21;
constexpr int DepartNameField = 41;
constexpr int SerialNumberField = 21;
constexpr size_t SerialNumberDigits = 7;

std::string_view Field(const char* At, int Size) {
    return {At, static_cast<size_t>(Size)};
}

}  // namespace

// -- Reading

std::u16string TKestorFPrt::QueryHeaderLine(int Line) {
    return RunCmd([&] {
        CheckConnected();
        if (FGeneration < 3) throw EKestUnsupported(usHeaderLines);
        CheckArg(Line >= 1 && Line <= 4, iaHeaderLine);
        FHeaderLines[Line - 1] = QueryParameterStr(ParHeaderLine0 + Line);
        return FHeaderLines[Line - 1];
    });
}

std::u16string TKestorFPrt::QueryTitle(int Number) {
    return RunCmd([&] {
        CheckConnected();
        if (FGeneration < 2) throw EKestUnsupported(usTitles);
        CheckArg(Number >= 0 && Number <= 999, iaTitle);
        if (FGeneration >= 3) return QueryParameterStr(Number);

        // Generation 2 has no parameter table but reads titles with the same
        // command: a three-digit number, and the title alone in the answer.
        char request[4] = {};
        EncodeNumber(Number, -3, true, request);
        char answer[25];
        Transfer(CmdReadParameter, mctInternal, request, sizeof request, answer, sizeof answer);
        CheckSeparators({answer[3], answer[24]});
        if (DecodeFixedNumber(Field(answer, 3), -3) != Number) throw BadResponse(brUnexpected);
        return DecodeString(Field(answer + 4, 20), FCoding);
    });
}

std::u16string TKestorFPrt::QueryDepartName(int Depart) {
    return RunCmd([&] {
        CheckConnected();
        if (!GenerationIn({3, 7})) throw EKestUnsupported(usDepartments);
        CheckArg(Depart >= 0 && Depart <= 99, iaDepartment);
        return QueryParameterStr(ParDepart0 + Depart);
    });
}

std::u16string TKestorFPrt::QueryOperName(int Oper) {
    return RunCmd([&] {
        CheckConnected();
        if (!GenerationIn({3, 7})) throw EKestUnsupported(usQueryParameters);
        CheckArg(Oper >= 0 && Oper <= 99, iaOperator);
        return QueryParameterStr(ParOper0 + Oper);
    });
}

// -- Writing

void TKestorFPrt::SetHeader(std::u16string_view Line1, std::u16string_view Line2,
                            std::u16string_view Line3, std::u16string_view Line4) {
    RunCmd([&] {
        CheckConnected();
        const std::u16string_view lines[4] = {Line1, Line2, Line3, Line4};
        char request[4 * HeaderLineField];
        for (int i = 0; i < 4; ++i)
            EncodeString(lines[i], std::span(request + i * HeaderLineField, HeaderLineField),
                         FCoding);
        TransferOut(CmdHeader, mctInternal, request, sizeof request);
        // The properties keep what the caller gave, not what the field held.
        for (int i = 0; i < 4; ++i)
            FHeaderLines[i] = lines[i];
    });
}

void TKestorFPrt::SetTitle(int Number, std::u16string_view Text) {
    RunCmd([&] {
        CheckConnected();
        if (FGeneration < 2) throw EKestUnsupported(usTitles);
        CheckArg(Number >= 0 && Number <= 999, iaTitle);
        char request[4 + TitleField] = {};
        EncodeNumber(Number, -3, false, std::span(request, 4));
        EncodeString(Text, std::span(request + 4, TitleField), FCoding);
        TransferOut(CmdTitle, mctInternal, request, sizeof request);
    });
}

void TKestorFPrt::SetDepartName(int Depart, std::u16string_view Name) {
    RunCmd([&] {
        CheckConnected();
        if (!GenerationIn({3, 7})) throw EKestUnsupported(usDepartments);
        CheckArg(Depart >= 0 && Depart <= 99, iaDepartment);
        char request[3 + DepartNameField] = {};
        EncodeNumber(Depart, -2, false, std::span(request, 3));
        EncodeString(Name, std::span(request + 3, DepartNameField), FCoding);
        TransferOut(CmdDepartName, mctInternal, request, sizeof request);
    });
}

void TKestorFPrt::SetTax(int Index, std::u16string_view Name, int Rate) {
    RunCmd([&] {
        CheckConnected();
        SetTaxDate(Index, Name, Rate, Today());
    });
}

void TKestorFPrt::SetSerialNumber(std::u16string_view Value) {
    RunCmd([&] {
        CheckConnected();
        if (FGeneration < 2) throw EKestUnsupported(usSerialNumberWrite);
        CheckArg(Value.size() <= SerialNumberDigits &&
                     std::ranges::all_of(Value, [](char16_t c) { return c >= u'0' && c <= u'9'; }),
                 iaSerialNumber);
        char request[4 + SerialNumberField] = {};
        EncodeString(Value, std::span(request + 4, SerialNumberField), FCoding);
        TransferOut(CmdSerialNumber, mctInternal, request, sizeof request);
    });
}
