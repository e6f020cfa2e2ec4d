// Dated records: the register's clock, a tax rate with its date and the
// fiscal re-registration. The internal forms take the date; the public ones
// read the host's clock.
#include <cmath>
#include <string_view>

#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;

constexpr uint8_t CmdRewrite = 'A';
constexpr uint8_t CmdTaxRate = 'F';
constexpr uint8_t CmdSetClock = 'G';

constexpr int TaxNameField = 21;
constexpr int MaxTaxRate = 9999;

// Where the fields of the re-registration request lie; sizes include the 0x00.
struct TRewriteLayout {
    int Text1At, Text1Size, Text2At, Text2Size, Text3At, Text3Size, DateAt, Text4At, Text4Size,
        Size;
};
constexpr TRewriteLayout EarlyMoldavianRewrite = {0, 6, 6, 9, 15, 14, 29, 38, 6, 44};
constexpr TRewriteLayout MoldavianRewrite = {0, 6, 6, 11, 17, 14, 31, 40, 6, 46};
constexpr TRewriteLayout CommonRewrite = {0, 6, 6, 9, 15, 13, 28, 37, 6, 43};
constexpr int MaxRewriteSize = 46;

}  // namespace

TKestDateTime TKestorFPrt::Now() const {
    return kest::Now();
}

TKestDateTime TKestorFPrt::Today() const {
    return std::floor(Now());
}

// -- The clock

void TKestorFPrt::SetEcrDateTime(TKestDateTime Value) {
    char request[14];
    EncodeDate(Value, std::span(request, 9));
    EncodeTime(Value, std::span(request + 9, 5));
    TransferOut(CmdSetClock, mctInternal, request, sizeof request);
}

void TKestorFPrt::SynchronizeEcrDateTime() {
    RunCmd([&] {
        CheckConnected();
        const TKestDateTime first = Now();
        SetEcrDateTime(first);
        const TKestDateTime second = Now();
        SetEcrDateTime(second);
        // Midnight passed between the two: the last two must agree on the date.
        if (std::floor(first) != std::floor(second)) SetEcrDateTime(Now());
    });
}

// -- Tax rates

void TKestorFPrt::SetTaxDate(int Index, std::u16string_view Name, int Rate, TKestDateTime Date) {
    if (FGeneration < 3) throw EKestUnsupported(usTaxes);
    CheckArg(Index >= 0 && Index <= 4, iaTaxIndex);
    CheckArg(Rate >= 0 && Rate <= MaxTaxRate, iaTaxRate);
    char request[38] = {};
    EncodeNumber(Index, -1, true, std::span(request, 2));
    EncodeNumber(Rate, 2, true, std::span(request + 2, 6));  // 18.00, 0.05
    EncodeString(Name, std::span(request + 8, TaxNameField), FCoding);
    EncodeDate(Date, std::span(request + 29, 9));
    TransferOut(CmdTaxRate, mctInternal, request, sizeof request);
}

// -- Fiscal re-registration

int TKestorFPrt::FiscalRewriteDate(std::u16string_view Text1, std::u16string_view Text2,
                                   std::u16string_view Text3, std::u16string_view Text4,
                                   TKestDateTime Date) {
    const TRewriteLayout& layout = FEcrModel != mem207_1FMD ? CommonRewrite
                                   : FEcrVersion == 0x0100 && FEcrSubVersion < 0x0300
                                       ? EarlyMoldavianRewrite
                                       : MoldavianRewrite;
    char request[MaxRewriteSize] = {};
    const auto text = [&](std::u16string_view Text, int At, int Size) {
        EncodeString(Text, std::span(request + At, static_cast<size_t>(Size)), FCoding);
    };
    text(Text1, layout.Text1At, layout.Text1Size);
    text(Text2, layout.Text2At, layout.Text2Size);
    text(Text3, layout.Text3At, layout.Text3Size);
    EncodeDate(Date, std::span(request + layout.DateAt, 9));
    text(Text4, layout.Text4At, layout.Text4Size);

    char answer[2];
    Transfer(CmdRewrite, mctProtocol, request, layout.Size, answer, sizeof answer);
    CheckSeparators({answer[1]});
    return static_cast<int>(DecodeFixedNumber(std::string_view(answer, 1), -1));
}

int TKestorFPrt::FiscalRewrite(std::u16string_view Text1, std::u16string_view Text2,
                               std::u16string_view Text3, std::u16string_view Text4) {
    return RunCmd([&] {
        CheckConnected();
        return FiscalRewriteDate(Text1, Text2, Text3, Text4, Today());
    });
}
