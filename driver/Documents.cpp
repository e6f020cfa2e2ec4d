// What the fiscal documents share: the operation codes, the price and payment
// records, the property buffer and the sending of a document, with the check
// that tells an interrupted print from one that went through.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "DocSlots.h"
#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;
using kest::doc::PutAmount;
using kest::doc::PutNumber;

constexpr uint8_t CmdFiscalData = 'S';
constexpr int EcrInterrupted = 10;  // the register's answer to a cancelled print

constexpr uint8_t CodeItem = 11;
constexpr uint8_t CodeFiscalSign = 20;
constexpr uint8_t CodeEKLZData = 22;
constexpr uint8_t LastMandatoryCode = 20;
constexpr int MaxDocPropertiesG1 = 60;

// -- Operation codes

constexpr unsigned Generations(std::initializer_list<int> List) {
    unsigned mask = 0;
    for (int g : List)
        mask |= 1u << g;
    return mask;
}
constexpr unsigned AllGenerations = ~0u;

struct TOperCode {
    char Code;
    unsigned Generations;  // bit g: generation g takes it
};
// From motSale to motBuyingVoid.
constexpr TOperCode OperCodes[] = {
    {'0', AllGenerations},          // motSale
    {'1', AllGenerations},          // motRefund
    {'C', Generations({3, 7})},     // motRefundCashless
    {'A', Generations({1, 2, 6})},  // motVoid
    {'2', AllGenerations},          // motCashIn
    {'3', AllGenerations},          // motCashOut
    {'D', Generations({6, 8})},     // motBuying
    {'E', Generations({6, 8})},     // motBuyingRefund
    {'F', Generations({6})},        // motBuyingVoid
};
static_assert(std::size(OperCodes) == motBuyingVoid - motSale + 1);

// -- Price records

struct TSlot {
    size_t At, Size;
};
#define KEST_SLOT(Record, Field)                       \
    TSlot {                                            \
        offsetof(Record, Field), sizeof(Record::Field) \
    }

struct TPriceLayout {
    size_t Size;
    TSlot Department, Code, Adjustment, Quantity, Price, UnitName;
    int CodeLimit, AdjustmentLimit;
};
constexpr TPriceLayout PriceLayout = {
    sizeof(TKestPriceData),
    KEST_SLOT(TKestPriceData, Department),
    KEST_SLOT(TKestPriceData, Code),
    KEST_SLOT(TKestPriceData, Adjustment),
    KEST_SLOT(TKestPriceData, Quantity),
    KEST_SLOT(TKestPriceData, Price),
    {0, 0},
    9999,
    9999,
};
constexpr TPriceLayout PriceLayoutV03 = {
    sizeof(TKestPriceDataV03),
    KEST_SLOT(TKestPriceDataV03, Department),
    KEST_SLOT(TKestPriceDataV03, Code),
    KEST_SLOT(TKestPriceDataV03, Adjustment),
    KEST_SLOT(TKestPriceDataV03, Quantity),
    KEST_SLOT(TKestPriceDataV03, Price),
    KEST_SLOT(TKestPriceDataV03, UnitName),
    999999,
    10000,
};
#undef KEST_SLOT

int64_t Pow10(int Exponent) {
    int64_t result = 1;
    while (Exponent-- > 0)
        result *= 10;
    return result;
}

// An amount's text and its 0x00.
std::string AmountField(TKestCurrency Amount) {
    char text[24];
    const int length = TKestorFPrt::EncodeNumber(Amount.Hundredths(), 2, true, text);
    return std::string(text, static_cast<size_t>(length) + 1);
}

}  // namespace

bool TKestorFPrt::HasV03Layout() const {
    return GenerationIn({3, 7});
}

char TKestorFPrt::ConvertOperType(TKestOperType Oper) const {
    CheckArg(Oper >= motSale && Oper <= motBuyingVoid, iaOperType);
    const TOperCode& row = OperCodes[Oper - motSale];
    CheckArg(FGeneration >= 0 && FGeneration < 32 && (row.Generations >> FGeneration & 1u),
             iaOperTypeUnsupported);
    return row.Code;
}

uint16_t TKestorFPrt::FillPriceData(TKestItemType ItemType, TKestCurrency Price, bool ItemFlag,
                                    int Department, int Code, int Adjustment, int Quantity,
                                    int Precision, int TaxIndex, std::u16string_view UnitName,
                                    std::span<char> Buf) const {
    const TKestOperType oper = GetCurrentOper();
    const bool cash = oper == motCashIn || oper == motCashOut;
    const TKestDocStatus status = GetDocStatus();
    const bool v03 = HasV03Layout();
    const TPriceLayout& layout = v03 ? PriceLayoutV03 : PriceLayout;
    if (Buf.size() < layout.Size) throw std::length_error("FillPriceData: the buffer is too small");

    // Written into Buf only once every check has passed.
    char record[sizeof(TKestPriceDataV03)] = {};
    const auto slot = [&record](TSlot Slot) { return std::span(record + Slot.At, Slot.Size); };

    uint16_t flags = 0;
    if (!cash && (v03 || FGeneration >= 6)) {
        CheckArg(TaxIndex >= 0 && TaxIndex <= 4, iaTaxIndex);
        if (v03) {
            flags = static_cast<uint16_t>(TaxIndex << 8);
            EncodeString(UnitName, slot(layout.UnitName), FCoding);
        } else {
            flags = static_cast<uint16_t>(TaxIndex);
        }
    }

    // An amount adjustment given as a negative price is a discount. A price
    // beyond any amount is refused before it is turned round.
    if (Price <= TKestCurrency() && (ItemType == mitAmountAdj || ItemType == mitVoidAmountAdj)) {
        CheckArg(Price >= -MaxAmount, iaItemPrice);
        Price = -Price;
        flags |= 0x80;
    }
    CheckArg(Price >= TKestCurrency() && Price <= MaxAmount, iaItemPrice);
    PutAmount(slot(layout.Price), Price);

    if (!cash) {
        if (ItemFlag) flags |= 0x40;
        if (status != mdsForm || FEKLZSupported) {
            CheckArg(Department >= (FEKLZSupported ? 1 : 0) && Department <= 99, iaDepartment);
            PutNumber(slot(layout.Department), Department, -2, false);
        }
    }
    if (!cash && status != mdsForm) {
        CheckArg(Code >= 0 && Code <= layout.CodeLimit, iaItemCode);
        PutNumber(slot(layout.Code), Code, -6, false);  // the limit keeps it to the slot

        const int64_t adjustment = Adjustment;  // the magnitude of INT_MIN needs 64 bits
        CheckArg(adjustment >= -layout.AdjustmentLimit && adjustment <= layout.AdjustmentLimit,
                 iaAdjustment);
        if (adjustment != 0) PutNumber(slot(layout.Adjustment), std::abs(adjustment), 2, true);
        if (adjustment < 0) flags |= 0x80;

        if (Quantity >= 0) {
            CheckArg(Precision >= 0 && Precision <= 3, iaPrecision);
            // The sum of the price as given, to four decimals, not of the
            // price rounded for the wire. Price x Quantity <= limit exactly
            // when Price <= limit / Quantity rounded down, so no product is
            // formed that a large quantity could wrap.
            const int64_t limit = MaxAmount.Raw() * Pow10(Precision);
            CheckArg(Quantity == 0 || Price.Raw() <= limit / Quantity, iaItemSum);
            PutNumber(slot(layout.Quantity), Quantity, Precision, true);
        }
    }
    std::copy_n(record, layout.Size, Buf.begin());
    return flags;
}

char TKestorFPrt::FillPayInfo(TKestPayType PayType, TKestCurrency Amount, TKestCurrency Amount2,
                              std::u16string_view PayText, std::span<char> Buf) const {
    const TKestOperType oper = GetCurrentOper();
    if (oper == motCashIn || oper == motCashOut) CheckArg(PayType == mptCash, iaPayTypeForbidden);
    if (PayType == mptCredit || PayType == mptCard) {
        CheckArg(oper == motSale || FGeneration >= 3, iaPayTypeForbidden);
        EncodeString(PayText, Buf, FCoding);
        return static_cast<char>('0' + PayType);
    }

    const TKestCurrency zero;
    CheckArg(Amount >= zero && Amount <= MaxAmount, iaPayAmount);
    std::string texts = AmountField(Amount);
    if (PayType != mptCash) {
        CheckArg(PayType == mptCashCredit || PayType == mptCashCard, iaPayType);
        CheckArg(FGeneration >= 3, iaPayTypeUnsupported);
        CheckArg(oper == motSale, iaPayTypeForbidden);
        // Compared so that no sum is formed that could overflow.
        CheckArg(Amount2 >= zero && Amount2 <= MaxAmount - Amount, iaPayAmount);
        texts += AmountField(Amount2);
    }
    CheckArg(texts.size() <= Buf.size(), iaPayAmount);
    std::fill(Buf.begin(), Buf.end(), '\0');
    std::copy(texts.begin(), texts.end(), Buf.begin());
    return static_cast<char>('0' + PayType);
}

uint16_t TKestorFPrt::ConvertFlagsV03(int Flags) const {
    if (!HasV03Layout()) return 0;
    uint16_t word = 0;
    if (!(Flags & 0x2))
        word |= 0x0020;
    else if (Flags & 0x1)
        word |= 0x1000;
    if (Flags & 0x8) word |= 0x2000;
    if (Flags & 0x10) word |= 0x4000;
    if (Flags & 0x400) word |= 0x8000;
    return word;
}

void TKestorFPrt::AddDocProperty(uint8_t Code, uint16_t Flags, const void* Data, int Size, int X,
                                 int Y, int Second, bool HasSecond) {
    if (FDoc.Count >= MaxDocProperties || (FGeneration == 1 && FDoc.Count >= MaxDocPropertiesG1))
        throw EKestDocOverflow();
    const bool second = HasSecond && GenerationIn({6, 8});
    if (second) CheckArg(Second >= 0 && Second <= 39, iaPropertyOffset);
    CheckArg(X >= 0 && X <= 99, iaPropertyOffset);
    CheckArg(Y >= 0 && Y <= (FGeneration == 1 ? 99 : 999), iaPropertyOffset);
    // The fiscal sign and the journal data close the document: below every
    // mandatory property, and nothing mandatory after them.
    const bool mandatory = Code <= LastMandatoryCode;
    if (Code == CodeFiscalSign || Code == CodeEKLZData)
        CheckArg(Y > FDoc.MandatoryY, iaFiscalSignOrder);
    if (FGeneration == 1 || mandatory) CheckArg(Y <= FDoc.FiscalSignY, iaFiscalSignOrder);
    if (FEKLZSupported) CheckArg(Y <= FDoc.EKLZDataY, iaEKLZDataOrder);

    const auto copyData = [&](char* To, int Room) {
        const int n = std::min(Room, Size);
        if (n > 0) std::memcpy(To, Data, static_cast<size_t>(n));
    };
    if (HasV03Layout()) {
        TKestDocPropertyDataV03& record = FDoc.RecordsV03[FDoc.Count];
        record = {};
        PutNumber(record.Code, Code, -2, true);
        WordToHex(Flags, record.Flags);
        if (Code == CodeItem)
            copyData(record.Data, sizeof record.Data);
        else
            copyData(record.Data + TKestDocPropertyDataV03::OtherDataAt,
                     sizeof record.Data - TKestDocPropertyDataV03::OtherDataAt);
        PutNumber(record.X, X, -2, false);
        PutNumber(record.Y, Y, -3, false);
    } else {
        TKestDocPropertyData& record = FDoc.Records[FDoc.Count];
        record = {};
        PutNumber(record.Code, Code, -2, true);
        ByteToHex(static_cast<uint8_t>(Flags), record.Flags);
        copyData(record.Data, sizeof record.Data);
        if (second) {
            // Over the last two data bytes: a one-digit offset leaves 0x00
            // in both, not the data's last byte.
            char* bytes = reinterpret_cast<char*>(&record);
            PutNumber(std::span(bytes + TKestDocPropertyData::SecondAt, 3), Second, -2, false);
        }
        PutNumber(record.X, X, -2, false);
        PutNumber(record.Y, Y, -3, false);
    }
    FDoc.Present.set(Code);
    ++FDoc.Count;
    if (mandatory) FDoc.MandatoryY = std::max(FDoc.MandatoryY, Y);
}

void TKestorFPrt::AddDocProperty(uint8_t Code, uint16_t Flags, int X, int Y, int Second,
                                 bool HasSecond) {
    AddDocProperty(Code, Flags, nullptr, 0, X, Y, Second, HasSecond);
}

void TKestorFPrt::ResetPropertyBuffer() {
    FDoc = {};
    FUnsettledClose.reset();
}

void TKestorFPrt::SendDocument(uint8_t Cmd, std::span<const std::string_view> Blocks,
                               bool Printed) {
    InvalidateCounters();
    const TKestOperType oper = GetCurrentOper();
    TKestOperType lastOper = motUnknown;
    const int lastNumber = Printed ? InternalDocNumber(lastOper) : 0;
    if (Printed && FUnsettledClose) {
        // An earlier close of this document ended without the register's
        // word: a new last document of its operation is that close's print.
        const TUnsettledClose earlier = *std::exchange(FUnsettledClose, std::nullopt);
        if (earlier.Oper == oper && lastOper == oper && lastNumber != earlier.Number) return;
    }
    // Whether the register registered the document all the same: its last
    // document is a new one of this operation. Unknown when the question
    // fails too.
    const auto registered = [&]() -> std::optional<bool> {
        try {
            TKestOperType nowOper = motUnknown;
            const int number = InternalDocNumber(nowOper);
            return number != lastNumber && nowOper == oper;
        } catch (const EKestError&) {
            return std::nullopt;
        } catch (const std::system_error&) {
            return std::nullopt;
        }
    };
    // Reported as printed when it was; otherwise the failure stands, and an
    // unknown outcome is settled by the next close before it sends again.
    const auto settle = [&] {
        const std::optional<bool> done = registered();
        if (done == true) return true;
        if (!done) FUnsettledClose = TUnsettledClose{lastNumber, oper};
        return false;
    };
    try {
        TransferBlocks(Cmd, mctProtocol, Blocks);
    } catch (const EKestEcrError& e) {
        // A refusal prints nothing; error 10 ends a print the register could
        // not finish, when it may have registered the document.
        if (!Printed || e.ErrCodeEx() != EcrInterrupted || !settle()) throw;
    } catch (const EKestConnClosed&) {
        throw;  // the document went with the connection
    } catch (...) {
        // No answer, one that cannot be read, an abort or a line that failed:
        // the register may have printed the document meanwhile.
        if (!Printed || !settle()) throw;
    }
}

void TKestorFPrt::SendFiscalData(bool Close, bool Cancel) {
    const int mode = Cancel ? 8 : Close ? 4 : 0;
    // Operation code, mode, property count, each followed by 0x00.
    char header[9] = {};
    try {
        header[0] = ConvertOperType(GetCurrentOper());
    } catch (const EKestInvalidArg&) {
        // The register knows the document's operation itself.
    }
    ByteToHex(static_cast<uint8_t>(mode), std::span(header + 2, 2));
    PutNumber(std::span(header + 5, 3), FDoc.Count, -3, false);
    const size_t recordsSize = Cancel ? 0 : FDoc.Count * sizeof(TKestDocPropertyDataV03);
    const std::string_view blocks[] = {
        {header, sizeof header},
        {reinterpret_cast<const char*>(FDoc.RecordsV03), recordsSize},
    };
    SendDocument(CmdFiscalData, blocks, Close);

    // What was sent is printed; the vertical bounds hold for the rest of the
    // document.
    FDoc.Count = 0;
    FDoc.Present.reset();
    FDoc.LastPayType = mptCash;
    FDoc.FiscalSignX = NoFiscalSignX;
    if (FCachedOper != motUnknown) {
        FCachedOper = motUnknown;
        DoStatusUpdate();
    }
}

void TKestorFPrt::EndDocument() {
    FUnsettledClose.reset();
    FDocStatus = mdsClosed;
    FOper = motUnknown;
    DoStatusUpdate();
}
