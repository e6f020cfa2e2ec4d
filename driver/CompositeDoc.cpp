// The composite fiscal document of generations 3 and 7, printed in portions
// with command "S", and the two commands on the last document.
#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;

constexpr uint8_t CmdCopyDoc = 'T';
constexpr uint8_t CmdRepeat = 'O';

}  // namespace

void TKestorFPrt::CheckFiscalDocOpen() const {
    const TKestDocStatus status = GetDocStatus();
    if (status == mdsClosed) throw EKestNoDocument();
    if (status != mdsCached && status != mdsOpened && status != mdsTotal && status != mdsCompleted)
        throw EKestForbidden(dtFiscalDoc);
}

void TKestorFPrt::OpenFiscalDoc(TKestOperType Oper) {
    RunCmd([&] {
        CheckConnected();
        if (GetDocStatus() != mdsClosed) throw EKestDocOpened();
        if (!HasV03Layout()) throw EKestUnsupported(dtFiscalDoc);
        ConvertOperType(Oper);  // the register must take it; the code goes with each portion
        // The register hears of the document with its first portion.
        FCachedOper = Oper;
        ResetPropertyBuffer();
        DoStatusUpdate();
    });
}

void TKestorFPrt::PrintFiscalDocBuffer() {
    RunCmd([&] {
        CheckConnected();
        CheckFiscalDocOpen();
        SendFiscalData(false, false);
    });
}

void TKestorFPrt::CloseFiscalDoc() {
    RunCmd([&] {
        CheckConnected();
        CheckFiscalDocOpen();
        SendFiscalData(true, false);
    });
}

void TKestorFPrt::CancelFiscalDoc(bool LocalOnly) {
    RunCmd([&] {
        CheckConnected();
        CheckFiscalDocOpen();
        if (GetDocStatus() != mdsCached && !LocalOnly) SendFiscalData(false, true);
        ResetPropertyBuffer();
        if (FCachedOper != motUnknown) {
            FCachedOper = motUnknown;
            DoStatusUpdate();
        }
    });
}

void TKestorFPrt::CopyFiscalDoc() {
    RunCmd([&] {
        CheckConnected();
        if (!HasV03Layout()) throw EKestUnsupported(dtCopyDoc);
        TransferSimple(CmdCopyDoc, mctProtocol);
    });
}

void TKestorFPrt::RepeatOperation() {
    RunCmd([&] {
        CheckConnected();
        InvalidateCounters();
        TransferSimple(CmdRepeat, mctProtocol);
    });
}
