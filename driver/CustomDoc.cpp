// The custom document and the form: positioned properties collected in the
// driver and sent with command "N" or "P" when the document is closed.
#include <algorithm>
#include <iterator>
#include <string_view>
#include <vector>

#include "DocSlots.h"
#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;
using kest::doc::PutNumber;

constexpr uint8_t CmdCustomDoc = 'N';
constexpr uint8_t CmdForm = 'P';

constexpr int CodeHeaderLines = 1;  // any of the lines 1..4 or the graphic header
constexpr int CodeGraphicHeader = 23;
constexpr int CodePay = 13;

// When a property is mandatory.
enum class TNeeded { Always, OnGeneration1, InCustomDoc, InCustomSale, InCustomSaleForCash };

struct TMandatory {
    int Code;
    TNeeded Needed;
};
// In the order the register's rules name them: the first one missing is reported.
constexpr TMandatory MandatoryProperties[] = {
    {0, TNeeded::Always},
    {CodeHeaderLines, TNeeded::Always},
    {5, TNeeded::Always},
    {6, TNeeded::Always},
    {7, TNeeded::Always},
    {9, TNeeded::OnGeneration1},
    {10, TNeeded::Always},
    {11, TNeeded::Always},
    {8, TNeeded::InCustomDoc},
    {12, TNeeded::InCustomDoc},
    {CodePay, TNeeded::InCustomSale},
    {14, TNeeded::InCustomSaleForCash},
    {20, TNeeded::Always},
};

// The generation-8 form of a stored property: Y always has its 0x00.
TKestDocPropertyDataV08 ToV08(const TKestDocPropertyData& Stored) {
    TKestDocPropertyDataV08 record{};
    std::copy_n(Stored.Code, 2, record.Code);
    std::copy_n(Stored.Flags, 2, record.Flags);
    std::copy_n(Stored.X, 2, record.X);
    std::copy_n(Stored.Y, 3, record.Y);
    std::copy_n(Stored.Data, sizeof Stored.Data, record.Data);
    return record;
}

}  // namespace

void TKestorFPrt::CheckCustomDocOpen() const {
    const TKestDocStatus status = GetDocStatus();
    if (status == mdsClosed) throw EKestNoDocument();
    if (status != mdsCustom && status != mdsForm) throw EKestForbidden(dtCustomDoc);
}

void TKestorFPrt::CheckMandatoryProperties() const {
    const bool custom = GetDocStatus() == mdsCustom;
    const bool sale = custom && GetCurrentOper() == motSale;
    const TKestPayType paid = FDoc.LastPayType;
    const bool cashPaid = paid == mptCash || paid == mptCashCredit || paid == mptCashCard;
    for (const TMandatory& row : MandatoryProperties) {
        bool needed = true;
        switch (row.Needed) {
            case TNeeded::Always:
                break;
            case TNeeded::OnGeneration1:
                needed = FGeneration == 1;
                break;
            case TNeeded::InCustomDoc:
                needed = custom;
                break;
            case TNeeded::InCustomSale:
                needed = sale;
                break;
            case TNeeded::InCustomSaleForCash:
                needed = sale && cashPaid;
                break;
        }
        bool present = FDoc.Present[static_cast<size_t>(row.Code)];
        if (row.Code == CodeHeaderLines)
            present = FDoc.Present[1] || FDoc.Present[2] || FDoc.Present[3] || FDoc.Present[4] ||
                      FDoc.Present[CodeGraphicHeader];
        if (needed && !present) throw EKestNoProperty(row.Code, PropertyDetail(row.Code));
    }
}

void TKestorFPrt::OpenCustomDoc(bool Form, TKestOperType Oper) {
    RunCmd([&] {
        CheckConnected();
        if (GetDocStatus() != mdsClosed) throw EKestDocOpened();
        if (HasV03Layout()) throw EKestUnsupported(dtCustomDoc);
        const char code = ConvertOperType(Oper);
        ResetPropertyBuffer();
        FDoc.Header.Oper[0] = code;
        FDocStatus = Form ? mdsForm : mdsCustom;
        FOper = Oper;
        DoStatusUpdate();
    });
}

void TKestorFPrt::CancelCustomDoc() {
    RunCmd([&] {
        CheckConnected();
        CheckCustomDocOpen();
        ResetPropertyBuffer();
        EndDocument();
    });
}

void TKestorFPrt::CloseCustomDoc(TKestPayType PayType, int DocFlags, int CopiesA, int CopiesB,
                                 int OffsetA, int OffsetB, int OffsetC, int FiscalIndex) {
    RunCmd([&] {
        CheckConnected();
        CheckCustomDocOpen();
        if (FDoc.Count == 0) throw EKestNoDocument();
        CheckMandatoryProperties();

        // Built aside: a refused or failed close leaves the document as it was.
        TKestCustomDocHeader header = FDoc.Header;
        CheckArg(CopiesA >= 0 && CopiesA <= 9, iaCopies);
        PutNumber(header.CopiesA, CopiesA, -1, true);
        CheckArg(CopiesB >= 0 && CopiesB <= 9, iaCopies);
        PutNumber(header.CopiesB, CopiesB, -1, true);
        CheckArg(OffsetA >= 0 && OffsetA <= 99, iaImpressionOffset);
        PutNumber(header.OffsetA, OffsetA, -2, false);
        CheckArg(OffsetB >= 0 && OffsetB <= 99, iaImpressionOffset);
        // The fiscal sign is 27 characters wide.
        CheckArg(CopiesA == 0 || OffsetB >= FDoc.FiscalSignX + 27, iaCopyOverFiscalSign);
        PutNumber(header.OffsetB, OffsetB, -2, false);
        CheckArg(OffsetC >= 0 && OffsetC <= 99, iaImpressionOffset);
        PutNumber(header.OffsetC, OffsetC, -2, false);

        uint8_t flags = static_cast<uint8_t>(DocFlags);
        if (FGeneration > 1) {
            // The index has the high four bits of the flags: a larger one
            // would reach the register as another impression.
            CheckArg(FiscalIndex >= 0 && FiscalIndex < (CopiesA + 1) * (CopiesB + 1) &&
                         FiscalIndex <= 15,
                     iaFiscalIndex);
            flags = static_cast<uint8_t>((DocFlags & 0x0F) | FiscalIndex << 4);
        }
        ByteToHex(flags, header.Flags);

        TKestPayType payType = FDoc.LastPayType;
        if (!FDoc.Present[CodePay]) {
            CheckArg(PayType != mptCashCredit && PayType != mptCashCard, iaPayTypeForbidden);
            CheckArg(PayType <= mptCashCard, iaPayType);
            if (PayType == mptCredit || PayType == mptCard) {
                const TKestOperType oper = GetCurrentOper();
                CheckArg(oper != motCashIn && oper != motCashOut, iaPayTypeForbidden);
                CheckArg(oper == motSale || FGeneration > 2, iaPayTypeForbidden);
            }
            payType = PayType;
        }
        PutNumber(header.PayType, payType, -1, true);
        PutNumber(header.PropertyCount, FDoc.Count, -3, false);

        const uint8_t cmd = GetDocStatus() == mdsForm ? CmdForm : CmdCustomDoc;
        const auto count = static_cast<size_t>(FDoc.Count);
        std::vector<TKestDocPropertyDataV08> records;
        std::vector<std::string_view> blocks{
            {reinterpret_cast<const char*>(&header), sizeof header}};
        if (FGeneration == 8) {
            std::transform(FDoc.Records, FDoc.Records + count, std::back_inserter(records), ToV08);
            for (const auto& record : records)
                blocks.emplace_back(reinterpret_cast<const char*>(&record), sizeof record);
        } else {
            blocks.emplace_back(reinterpret_cast<const char*>(FDoc.Records),
                                count * sizeof(TKestDocPropertyData));
        }
        SendDocument(cmd, blocks, true);
        ResetPropertyBuffer();
        EndDocument();
    });
}
