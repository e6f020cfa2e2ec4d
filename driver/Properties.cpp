// The properties of custom and composite documents: each Add operation checks
// its rules, builds the flag word and data of its property and appends it to
// the property buffer. Nothing is sent.
#include <initializer_list>
#include <iterator>
#include <span>
#include <string_view>

#include "DocSlots.h"
#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;
using kest::doc::PutAmount;
using kest::doc::PutNumber;

enum TPropertyCode : uint8_t {
    CodeSerialNumber = 0,
    CodeDateTime = 5,
    CodeOperInfo = 6,
    CodeDocNumber = 7,
    CodeReceiptNumber = 8,
    CodeAccount = 9,
    CodeTaxPayerNumber = 10,
    CodeItem = 11,
    CodeTotal = 12,
    CodePay = 13,
    CodeChange = 14,
    CodeTaxSum = 15,  // + tax index
    CodeFiscalSign = 20,
    CodeDocAdjustment = 21,
    CodeEKLZData = 22,
    CodeGraphicHeader = 23,
    CodeRegNumber = 24,
    CodeBarcode = 98,
    CodeCustom = 99,
};

constexpr int FlagVoid = 0x800;  // generations 3 and 7: an item or adjustment is void
constexpr int TextDataSize = 41;

// Kind codes of generations 3 and 7 in the low bits of an item's flag word.
struct TItemKind {
    uint16_t Plain, Void;
    bool KeepsAdjustment;
};
// By TKestItemType.
constexpr TItemKind ItemKinds[] = {
    {2, 10, false},   // mitItem
    {0, 8, true},     // mitPercentAdj
    {1, 9, false},    // mitAmountAdj
    {10, 10, false},  // mitVoidItem
    {8, 8, true},     // mitVoidPercentAdj
    {9, 9, false},    // mitVoidAmountAdj
};
constexpr uint16_t KindPercent = 0, KindAmount = 1;

bool IsDigits(std::u16string_view Text) {
    if (Text.empty()) return false;
    for (char16_t c : Text)
        if (c < u'0' || c > u'9') return false;
    return true;
}

bool IsOneOf(TKestOperType Oper, std::initializer_list<TKestOperType> List) {
    for (TKestOperType o : List)
        if (o == Oper) return true;
    return false;
}

}  // namespace

void TKestorFPrt::CheckPropertyDocOpen() const {
    CheckConnected();
    const TKestDocStatus status = GetDocStatus();
    if (status == mdsClosed) throw EKestNoDocument();
    if (status == mdsReceipt) throw EKestForbidden(dtAddProperty);
}

void TKestorFPrt::CheckUniqueProperty(int Code) const {
    if (FDoc.Present[static_cast<size_t>(Code)]) throw EKestDuplication(Code, PropertyDetail(Code));
}

void TKestorFPrt::AddSerialNumber(int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckUniqueProperty(CodeSerialNumber);
        AddDocProperty(CodeSerialNumber, ConvertFlagsV03(Flags), X, Y, 0, false);
    });
}

void TKestorFPrt::AddHeaderLine(int Line, int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckArg(Line >= 1 && Line <= 4, iaHeaderLine);
        CheckUniqueProperty(Line);
        AddDocProperty(static_cast<uint8_t>(Line), ConvertFlagsV03(Flags), X, Y, 0, false);
    });
}

void TKestorFPrt::AddDateTime(int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckUniqueProperty(CodeDateTime);
        AddDocProperty(CodeDateTime, ConvertFlagsV03(Flags), X, Y, 0, false);
    });
}

void TKestorFPrt::AddOperInfo(TKestOperInfo Info, int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckUniqueProperty(CodeOperInfo);
        uint16_t flags = ConvertFlagsV03(Flags);
        if (FGeneration >= 3) {
            CheckArg(Info <= moiNumberName, iaOperInfo);
            flags |= Info;
        }
        AddDocProperty(CodeOperInfo, flags, X, Y, 0, false);
    });
}

void TKestorFPrt::AddDocNumber(int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckUniqueProperty(CodeDocNumber);
        AddDocProperty(CodeDocNumber, ConvertFlagsV03(Flags), X, Y, 0, false);
    });
}

void TKestorFPrt::AddReceiptNumber(int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        if (GetDocStatus() == mdsForm && FGeneration == 1)
            throw EKestForbiddenVersion(dtReceiptNumber);
        CheckUniqueProperty(CodeReceiptNumber);
        AddDocProperty(CodeReceiptNumber, ConvertFlagsV03(Flags), X, Y, 0, false);
    });
}

void TKestorFPrt::AddAccount(std::u16string_view Account, int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckUniqueProperty(CodeAccount);
        if (FGeneration == 1) CheckArg(IsDigits(Account), iaAccount);
        char data[TextDataSize];
        EncodeString(Account, data, FCoding);
        AddDocProperty(CodeAccount, ConvertFlagsV03(Flags), data, sizeof data, X, Y, 0, false);
    });
}

void TKestorFPrt::AddTaxPayerNumber(int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckUniqueProperty(CodeTaxPayerNumber);
        AddDocProperty(CodeTaxPayerNumber, ConvertFlagsV03(Flags), X, Y, 0, false);
    });
}

void TKestorFPrt::AddItem(TKestItemType ItemType, TKestCurrency Price, bool ItemFlag,
                          int Department, int Code, int Adjustment, int Quantity, int Precision,
                          int TaxIndex, std::u16string_view UnitName, int Flags, int X, int Y,
                          int Second) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        // A form prints one item; the other documents any number.
        if (GetDocStatus() == mdsForm) CheckUniqueProperty(CodeItem);
        const bool v03 = HasV03Layout();
        const bool adjustment = ItemType == mitPercentAdj || ItemType == mitAmountAdj ||
                                ItemType == mitVoidPercentAdj || ItemType == mitVoidAmountAdj;
        if (ItemType == mitVoidItem || adjustment) CheckArg(v03, iaItemTypeUnsupported);
        if (adjustment)
            CheckArg(IsOneOf(GetCurrentOper(), {motSale, motRefund, motRefundCashless, motVoid,
                                                motBuying, motBuyingRefund, motBuyingVoid}),
                     iaItemTypeForbidden);
        CheckArg(ItemType <= mitVoidAmountAdj, iaItemType);

        uint16_t kind = 0;
        int itemAdjustment = Adjustment;
        if (v03) {
            const TItemKind& row = ItemKinds[ItemType];
            kind = (Flags & FlagVoid) ? row.Void : row.Plain;
            if (!row.KeepsAdjustment) itemAdjustment = 0;
        }
        if (ItemType == mitPercentAdj || ItemType == mitVoidPercentAdj)
            CheckArg(itemAdjustment != 0, iaAdjustment);

        char data[sizeof(TKestPriceDataV03)] = {};
        const uint16_t itemFlags =
            FillPriceData(ItemType, Price, ItemFlag, Department, Code, itemAdjustment, Quantity,
                          Precision, TaxIndex, UnitName, data);
        const auto flags = static_cast<uint16_t>(kind | itemFlags | ConvertFlagsV03(Flags));
        AddDocProperty(CodeItem, flags, data, sizeof data, X, Y, Second, true);
    });
}

void TKestorFPrt::AddDocAdjustment(int Kind, bool Discount, std::string_view Text, int TaxIndex,
                                   int Flags, int X, int Y, int Second) {
    const int kind = (Flags & FlagVoid) ? Kind + 8 : Kind;
    const auto flags = static_cast<uint16_t>(ConvertFlagsV03(Flags) | TaxIndex << 8 | kind |
                                             (Discount ? 0x80 : 0));
    char data[TextDataSize] = {};
    Text.copy(data, sizeof data - 1);
    AddDocProperty(CodeDocAdjustment, flags, data, sizeof data, X, Y, Second, true);
}

void TKestorFPrt::AddDocPercentAdj(int Percent, int TaxIndex, int Flags, int X, int Y, int Second) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        if (!HasV03Layout()) throw EKestUnsupported(dtDocAdjustment);
        if (IsOneOf(GetCurrentOper(), {motCashIn, motCashOut}))
            throw EKestForbidden(dtDocAdjustment);
        CheckArg(Percent >= -10000 && Percent <= 10000 && Percent != 0, iaAdjustment);
        CheckArg(TaxIndex >= 0 && TaxIndex <= 4, iaTaxIndex);
        char text[8];
        const int length = EncodeNumber(Percent < 0 ? -Percent : Percent, 2, true, text);
        AddDocAdjustment(KindPercent, Percent < 0, {text, static_cast<size_t>(length)}, TaxIndex,
                         Flags, X, Y, Second);
    });
}

void TKestorFPrt::AddDocAmountAdj(TKestCurrency Amount, int TaxIndex, int Flags, int X, int Y,
                                  int Second) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        if (!HasV03Layout()) throw EKestUnsupported(dtDocAdjustment);
        if (IsOneOf(GetCurrentOper(), {motCashIn, motCashOut}))
            throw EKestForbidden(dtDocAdjustment);
        CheckArg(Amount >= -MaxAmount && Amount <= MaxAmount, iaAdjustment);
        CheckArg(TaxIndex >= 0 && TaxIndex <= 4, iaTaxIndex);
        char text[16] = {};
        PutAmount(text, Amount < TKestCurrency() ? -Amount : Amount);
        AddDocAdjustment(KindAmount, Amount <= TKestCurrency(), text, TaxIndex, Flags, X, Y,
                         Second);
    });
}

void TKestorFPrt::AddTotal(int Flags, int X, int Y, int Second) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        if (GetDocStatus() == mdsForm) throw EKestForbidden(dtTotal);
        CheckUniqueProperty(CodeTotal);
        AddDocProperty(CodeTotal, ConvertFlagsV03(Flags), X, Y, Second, true);
    });
}

void TKestorFPrt::AddPay(TKestPayType PayType, TKestCurrency Amount, TKestCurrency Amount2,
                         std::u16string_view PayText, int Flags, int X, int Y, int Second) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        if (GetDocStatus() == mdsForm && FGeneration == 1) throw EKestForbiddenVersion(dtPayment);
        if (!IsOneOf(GetCurrentOper(), {motSale, motBuying})) throw EKestForbidden(dtPayment);
        CheckUniqueProperty(CodePay);
        // Change is given on cash only.
        if ((PayType == mptCredit || PayType == mptCard) && FDoc.Present[CodeChange])
            throw EKestForbidden(dtChange);
        char data[TextDataSize] = {};
        FillPayInfo(PayType, Amount, Amount2, PayText, data);
        uint16_t flags = ConvertFlagsV03(Flags);
        if (HasV03Layout()) flags |= PayType;
        AddDocProperty(CodePay, flags, data, sizeof data, X, Y, Second, true);
        FDoc.LastPayType = PayType;
    });
}

void TKestorFPrt::AddChange(int Flags, int X, int Y, int Second) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckUniqueProperty(CodeChange);
        const bool onCredit = FDoc.LastPayType == mptCredit || FDoc.LastPayType == mptCard;
        if ((GetDocStatus() == mdsForm && FGeneration == 1) || onCredit ||
            GetCurrentOper() != motSale)
            throw EKestForbidden(dtChange);
        const uint16_t flags = HasV03Layout() ? ConvertFlagsV03(Flags) : 0x30;
        AddDocProperty(CodeChange, flags, X, Y, Second, true);
    });
}

void TKestorFPrt::AddTaxSum(int TaxIndex, int Flags, int X, int Y, int Second) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        if (FGeneration < 3) throw EKestUnsupported(dtTaxSums);
        if (!IsOneOf(GetCurrentOper(), {motSale, motBuying})) throw EKestForbidden(dtTaxSums);
        CheckArg(TaxIndex >= 0 && TaxIndex <= 4, iaTaxIndex);
        const int code = CodeTaxSum + TaxIndex;
        CheckUniqueProperty(code);
        AddDocProperty(static_cast<uint8_t>(code), ConvertFlagsV03(Flags), X, Y, Second, true);
    });
}

void TKestorFPrt::AddFiscalSign(int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckUniqueProperty(CodeFiscalSign);
        if (HasV03Layout()) throw EKestUnsupported(dtFiscalSign);
        AddDocProperty(CodeFiscalSign, ConvertFlagsV03(Flags), X, Y, 0, false);
        FDoc.FiscalSignX = X;
        FDoc.FiscalSignY = Y;
    });
}

void TKestorFPrt::AddEKLZData(int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckUniqueProperty(CodeEKLZData);
        if (!FEKLZSupported) throw EKestUnsupported(usEKLZ);
        if (!IsOneOf(GetCurrentOper(), {motSale, motRefund, motBuying, motBuyingRefund}))
            throw EKestForbidden(dtEKLZData);
        AddDocProperty(CodeEKLZData, ConvertFlagsV03(Flags), X, Y, 0, false);
        FDoc.EKLZDataY = Y;
    });
}

void TKestorFPrt::AddGraphicHeader(int Flags, int /*X*/, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        if (!HasV03Layout()) throw EKestUnsupported(usGraphicHeader);
        CheckUniqueProperty(CodeGraphicHeader);
        // The picture always starts at the left edge.
        AddDocProperty(CodeGraphicHeader, ConvertFlagsV03(Flags), 0, Y, 0, false);
    });
}

void TKestorFPrt::AddRegNumber(int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        CheckUniqueProperty(CodeRegNumber);
        if (!(FEcrModel == mem207_1FMD && FEcrVersion == 0x0100 && FEcrSubVersion >= 0x0300))
            throw EKestUnsupported(dtRegNumberPrint);
        AddDocProperty(CodeRegNumber, ConvertFlagsV03(Flags), X, Y, 0, false);
    });
}

void TKestorFPrt::AddBarcode(int Value1, int Value2, int Value3, int Value4, int Value5, bool Mark,
                             int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        if (GenerationIn({1, 3, 7})) throw EKestUnsupported(dtBarcode);
        uint16_t flags = Mark ? 0x01 : 0;
        if (!(Flags & 0x40)) flags |= 0x10;
        if (!(Flags & 0x80)) flags |= 0x20;
        // Each value as its quotient and remainder by 65536, both truncated
        // toward zero, four hex digits each.
        char data[40];
        const int values[] = {Value1, Value2, Value3, Value4, Value5};
        for (size_t i = 0; i < std::size(values); ++i) {
            WordToHex(static_cast<uint16_t>(values[i] / 65536), std::span(data + 8 * i, 4));
            WordToHex(static_cast<uint16_t>(values[i] % 65536), std::span(data + 8 * i + 4, 4));
        }
        AddDocProperty(CodeBarcode, flags, data, sizeof data, X, Y, 0, false);
    });
}

void TKestorFPrt::AddCustom(std::u16string_view Text, int Flags, int X, int Y) {
    RunCmd([&] {
        CheckPropertyDocOpen();
        uint16_t flags = ConvertFlagsV03(Flags);
        if (!HasV03Layout()) {
            struct TBit {
                int Caller;
                uint16_t Flag;
                bool WhenSet;
            };
            static constexpr TBit bits[] = {
                {0x4, 0x01, true},   {0x8, 0x02, true},   {0x10, 0x04, true},  {0x20, 0x08, true},
                {0x40, 0x10, false}, {0x80, 0x20, false}, {0x200, 0xC0, true}, {0x100, 0x40, true},
            };
            for (const TBit& bit : bits)
                if (((Flags & bit.Caller) != 0) == bit.WhenSet) flags |= bit.Flag;
        }
        char data[TextDataSize];
        EncodeString(Text, data, FCoding);
        AddDocProperty(CodeCustom, flags, data, sizeof data, X, Y, 0, false);
    });
}
