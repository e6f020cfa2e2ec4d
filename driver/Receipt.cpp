// The standard receipt: items and one payment collected in the driver and
// sent with command "K" when the receipt is closed.
#include <algorithm>
#include <string_view>

#include "DocSlots.h"
#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;
using kest::doc::PutNumber;

constexpr uint8_t CmdReceipt = 'K';

int ReceiptCapacity(int Generation) {
    if (Generation == 1) return 40;
    if (Generation == 2 || Generation == 6) return 193;
    return 196;
}

bool IsDigits(std::u16string_view Text) {
    return !Text.empty() &&
           std::ranges::all_of(Text, [](char16_t C) { return C >= u'0' && C <= u'9'; });
}

}  // namespace

void TKestorFPrt::CheckReceiptOpen() const {
    const TKestDocStatus status = GetDocStatus();
    if (status == mdsClosed) throw EKestNoDocument();
    if (status != mdsReceipt) throw EKestForbidden(dtReceipt);
}

void TKestorFPrt::OpenReceipt(TKestOperType Oper) {
    RunCmd([&] {
        CheckConnected();
        if (GetDocStatus() != mdsClosed) throw EKestDocOpened();
        if (HasV03Layout()) throw EKestUnsupported(dtReceipt);
        const char code = ConvertOperType(Oper);
        FReceiptHeader = {};
        FReceiptHeader.Oper[0] = code;
        FReceiptItemCount = 0;
        FUnsettledClose.reset();
        // These registers report no document status: the driver keeps it.
        FDocStatus = mdsReceipt;
        FOper = Oper;
        DoStatusUpdate();
    });
}

void TKestorFPrt::AddReceiptItem(std::u16string_view Name, TKestCurrency Price, bool ItemFlag,
                                 int Department, int Code, int Adjustment, int Quantity,
                                 int Precision, int TaxIndex, std::u16string_view UnitName,
                                 int /*Reserved*/) {
    RunCmd([&] {
        CheckConnected();
        CheckReceiptOpen();
        if (FReceiptItemCount >= ReceiptCapacity(FGeneration)) throw EKestDocOverflow();
        TKestItemData item{};
        const TKestOperType oper = GetCurrentOper();
        if (oper != motCashIn && oper != motCashOut) EncodeString(Name, item.Name, FCoding);
        const uint16_t flags = FillPriceData(
            mitItem, Price, ItemFlag, Department, Code, Adjustment, Quantity, Precision, TaxIndex,
            UnitName, std::span(reinterpret_cast<char*>(&item.Price), sizeof item.Price));
        ByteToHex(static_cast<uint8_t>(flags), item.Flags);
        FReceiptItems[FReceiptItemCount++] = item;
    });
}

void TKestorFPrt::CancelReceipt() {
    RunCmd([&] {
        CheckConnected();
        CheckReceiptOpen();
        FReceiptItemCount = 0;
        EndDocument();
    });
}

void TKestorFPrt::CloseReceipt(std::u16string_view Account, TKestPayType PayType,
                               TKestCurrency Amount, TKestCurrency Amount2,
                               std::u16string_view PayText, int Copies, TKestOperInfo OperInfo) {
    RunCmd([&] {
        CheckConnected();
        CheckReceiptOpen();
        if (FReceiptItemCount == 0) throw EKestNoDocument();  // nothing to print
        if (FGeneration == 1) CheckArg(IsDigits(Account), iaAccount);

        // Built aside: a refused or failed close leaves the receipt as it was.
        TKestReceiptHeader header = FReceiptHeader;
        EncodeString(Account, header.Account, FCoding);
        header.PayType[0] = FillPayInfo(PayType, Amount, Amount2, PayText, header.PayInfo);
        CheckArg(Copies >= 0 && Copies <= 9, iaCopies);
        PutNumber(header.Copies, Copies, -1, true);
        if (FGeneration >= 6) {
            CheckArg(OperInfo <= moiNumberName, iaOperInfo);
            ByteToHex(static_cast<uint8_t>(OperInfo * 64), header.Flags);
        }
        PutNumber(header.ItemCount, FReceiptItemCount, -3, false);

        const std::string_view blocks[] = {
            {reinterpret_cast<const char*>(&header), sizeof header},
            {reinterpret_cast<const char*>(FReceiptItems),
             static_cast<size_t>(FReceiptItemCount) * sizeof(TKestItemData)},
        };
        SendDocument(CmdReceipt, blocks, true);
        FReceiptItemCount = 0;
        EndDocument();
    });
}
