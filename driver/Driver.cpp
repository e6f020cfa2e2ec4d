// The driver object: construction, the command bracket, the cross-thread
// abort, the events and the decoding of the register's status words.
#include <string>

#include "KestorFPrt.h"
#include "Messages.h"
#include "SerialLine.h"

namespace {

std::u16string FormatVersion(int VersionNumber, int BuildNumber) {
    const std::string s = std::to_string(VersionNumber >> 8) + "." +
                          std::to_string(VersionNumber & 0xFF) + " (" +
                          std::to_string(BuildNumber) + ")";
    return std::u16string(s.begin(), s.end());
}

// Copies bit From of Raw to bit To of the result.
constexpr int MapBit(unsigned Raw, int From, int To) {
    return ((Raw >> From) & 1u) << To;
}

bool IsGeneration3or7(int Generation) {
    return Generation == 3 || Generation == 7;
}

int CheckBit(int Bits, int Mask, int Bit) {
    if (Bit < 0 || Bit > 31 || !(static_cast<unsigned>(Mask) >> Bit & 1u)) return 0;
    return (static_cast<unsigned>(Bits) >> Bit & 1u) ? 1 : -1;
}

}  // namespace

TKestorFPrt::TKestorFPrt(TKestComponent* Owner)
    : TKestComponent(Owner),
      FWakeup(std::make_unique<kest::TWakeup>()),
      FVersion(FormatVersion(FVersionNumber, FBuildNumber)) {}

// The line, if still open, closes with its owner.
TKestorFPrt::~TKestorFPrt() = default;

// -- Command bracket

void TKestorFPrt::StartCmd() {
    if (FExecOwner.load() != std::this_thread::get_id()) {
        // Another thread's command runs to its end first: the line, the error
        // fields and the time-outs belong to one command at a time.
        FExecLock.lock();
        FExecOwner = std::this_thread::get_id();
        FCmdDepth = 0;
    }
    if (FCmdDepth++ == 0) {
        // The lock keeps a command from starting while AbortRequest decides.
        std::lock_guard lock(FCmdLock);
        std::lock_guard idle(FIdleMutex);
        FIdle = false;
        FCmdThread = std::this_thread::get_id();
        FAbort = false;  // left over from an abort asked on the command's own thread
    }
    ClearError();
}

void TKestorFPrt::FinishCmd() {
    if (FExecOwner.load() != std::this_thread::get_id() || FCmdDepth == 0) return;
    if (--FCmdDepth > 0) return;
    {
        std::lock_guard idle(FIdleMutex);
        FIdle = true;
    }
    FIdleCond.notify_all();
    FExecOwner = std::thread::id();
    FExecLock.unlock();
}

void TKestorFPrt::AbortRequest() {
    std::lock_guard lock(FCmdLock);
    if (!FConnected) return;
    FAbort = true;
    // A read or write in progress returns at once; the command then sees the flag.
    if (FIoInProgress) FWakeup->Signal();
    std::unique_lock idle(FIdleMutex);
    // Called from an event handler of the running command itself: the command
    // sees the flag at its next port call; waiting here would never end.
    if (!FIdle && FCmdThread == std::this_thread::get_id()) return;
    FIdleCond.wait(idle, [this] { return FIdle; });
    FAbort = false;
    FWakeup->Clear();
}

void TKestorFPrt::CheckAbort() const {
    if (FAbort) throw EKestRequestAborted();
}

void TKestorFPrt::SetRetryOperation(bool Value) {
    RunCmd([&] { FRetryOperation = Value; });
}

// -- Events

void TKestorFPrt::DoDataSend(const void* Data, int Size) {
    if (OnDataSend) OnDataSend(*this, Data, Size);
    if (!FConnected) throw EKestConnClosed();
}

void TKestorFPrt::DoDataReceive(const void* Data, int Size) {
    if (OnDataReceive) OnDataReceive(*this, Data, Size);
    if (!FConnected) throw EKestConnClosed();
}

void TKestorFPrt::DoNoResponse() {
    if (OnNoResponse) OnNoResponse(*this);
    if (!FConnected) throw EKestConnClosed();
}

void TKestorFPrt::DoPrinterError() {
    if (OnPrinterError) OnPrinterError(*this);
    if (!FConnected) throw EKestConnClosed();
}

void TKestorFPrt::DoDisplayError() {
    if (OnDisplayError) OnDisplayError(*this);
    if (!FConnected) throw EKestConnClosed();
}

void TKestorFPrt::DoStatusUpdate() {
    if (OnStatusUpdate) OnStatusUpdate(*this);
}

void TKestorFPrt::DoConnStateUpdate() {
    if (OnConnStateUpdate) OnConnStateUpdate(*this);
}

void TKestorFPrt::ChangeConnState(TKestConnState State) {
    // Idle means connected; a handler may have closed the line meanwhile.
    if (State == mcsIdle && !FConnected) State = mcsNone;
    if (State == FConnState) return;
    FConnState = State;
    DoConnStateUpdate();
}

// -- Status words

TKestDocStatus TKestorFPrt::GetDocStatus() const {
    return FCachedOper != motUnknown ? mdsCached : FDocStatus;
}

TKestOperType TKestorFPrt::GetCurrentOper() const {
    return FCachedOper != motUnknown ? FCachedOper : FOper;
}

TKestorFPrt::TStatusView TKestorFPrt::StatusView() const {
    return {FEcrStatus,     FEcrStatusMask,   FDevStatus, FDevStatusMask,
            GetDocStatus(), GetCurrentOper(), FProtocol};
}

int TKestorFPrt::CheckEcrStatus(int Bit) const {
    return CheckBit(FEcrStatus, FEcrStatusMask, Bit);
}

int TKestorFPrt::CheckDevStatus(int Bit) const {
    return CheckBit(FDevStatus, FDevStatusMask, Bit);
}

bool TKestorFPrt::HasExtendedDevStatus() const {
    return (FEcrModel == mem207_1F && (FEcrVersion & 0xFF00) == 0x0600) || FEcrModel == mem207_1K;
}

void TKestorFPrt::UpdateEcrStatus() {
    const int oldStatus = FEcrStatus;
    const TKestDocStatus oldDoc = GetDocStatus();
    const TKestOperType oldOper = GetCurrentOper();
    const TKestProtocol oldProtocol = FProtocol;

    if (FGeneration == 0) {
        FEcrStatus = 0;
        FDocStatus = mdsUnknown;
        FOper = motUnknown;
        FProtocol = mprUnknown;
        FCachedOper = motUnknown;
    } else {
        const unsigned w = FRawEcrStatus;
        const bool extended = IsGeneration3or7(FGeneration);
        int s = MapBit(w, 0, 0) | MapBit(w, 4, 2) | MapBit(w, 5, 3) | MapBit(w, 6, 4);
        if (extended) s |= MapBit(w, 2, 1) | MapBit(w, 15, 5) | MapBit(w, 1, 6) | MapBit(w, 3, 7);
        FEcrStatus = s;
        FEcrStatusMask = 0x1D | (extended ? 0xE2 : 0);
        FProtocol = (FGeneration > 1 && (w & 0x80)) ? mprXOnXoff : mprBS;
        if (extended) {
            static constexpr TKestDocStatus DocStates[] = {mdsClosed, mdsOpened, mdsTotal,
                                                           mdsCompleted};
            FDocStatus = DocStates[(w >> 8) & 3];
            switch (w & 0x7C00) {
                case 0x0000:
                    FOper = motSale;
                    break;
                case 0x0400:
                    FOper = motRefund;
                    break;
                case 0x0800:
                    FOper = motCashIn;
                    break;
                case 0x0C00:
                    FOper = motCashOut;
                    break;
                case 0x4800:
                    FOper = motRefundCashless;
                    break;
                default:
                    FOper = motUnknown;
                    break;
            }
            if (FDocStatus != mdsClosed) FCachedOper = motUnknown;
        }
    }

    if (oldStatus != FEcrStatus || oldDoc != GetDocStatus() || oldOper != GetCurrentOper() ||
        oldProtocol != FProtocol)
        DoStatusUpdate();
}

void TKestorFPrt::UpdateDevStatus() {
    const int oldStatus = FDevStatus;

    if (FGeneration == 0) {
        FDevStatus = 0;
        FDevStatusMask = 0;
    } else {
        const unsigned b = FRawDevStatus;
        int s = MapBit(b, 2, 19) | (b & 0x08 ? 0 : 1 << 5) | MapBit(b, 5, 22) | MapBit(b, 6, 23) |
                MapBit(b, 7, 24);
        int mask;
        if (IsGeneration3or7(FGeneration)) {
            s |= MapBit(b, 0, 18) | MapBit(b, 1, 0) | MapBit(b, 4, 21);
            mask = 0x01EC0021;
        } else {
            s |= MapBit(b, 0, 10) | MapBit(b, 1, 11) | MapBit(b, 4, 20);
            mask = 0x01D00020;
            if (FGeneration >= 2) mask |= 1 << 10 | 1 << 11 | 1 << 19;
            if (HasExtendedDevStatus()) mask |= 1 << 30;
        }
        FDevStatusMask = mask;
        FDevStatus = s & mask;
    }

    if (oldStatus != FDevStatus && !FSuppressStatusEvent) DoStatusUpdate();
}

void TKestorFPrt::UpdateDevStatus(const uint8_t (&Extended)[5]) {
    const bool suppressed = FSuppressStatusEvent;
    FSuppressStatusEvent = true;
    const int oldStatus = FDevStatus;
    UpdateDevStatus();
    if (HasExtendedDevStatus()) {
        const uint8_t* e = Extended;
        int s = MapBit(e[0], 2, 0) | MapBit(e[0], 3, 1);
        for (int i = 1; i <= 4; ++i) {
            // Bytes 1..4 carry four flags each (bits 2, 3, 5, 6) from DevStatus bit 4i-2 on.
            const int first = 4 * i - 2;
            s |= MapBit(e[i], 2, first) | MapBit(e[i], 3, first + 1) | MapBit(e[i], 5, first + 2) |
                 MapBit(e[i], 6, first + 3);
        }
        s ^= 1 << 14;  // byte 4 bit 2 reports its condition when clear
        FDevStatusMask |= 0x3FFFF;
        FDevStatus = (FDevStatus | s | 1 << 30) & FDevStatusMask;
    }
    FSuppressStatusEvent = suppressed;
    if (oldStatus != FDevStatus && !FSuppressStatusEvent) DoStatusUpdate();
}

// -- Hour and minute of the stored date-times

namespace {
int HourOf(TKestDateTime Value) {
    return kest::SplitDateTime(Value).Hour;
}
int MinuteOf(TKestDateTime Value) {
    return kest::SplitDateTime(Value).Minute;
}
}  // namespace

int TKestorFPrt::GetEcrHour() const {
    return HourOf(FEcrDateTime);
}
int TKestorFPrt::GetEcrMin() const {
    return MinuteOf(FEcrDateTime);
}
int TKestorFPrt::GetReportHour() const {
    return HourOf(FReportDate);
}
int TKestorFPrt::GetReportMin() const {
    return MinuteOf(FReportDate);
}
int TKestorFPrt::GetDayHour() const {
    return HourOf(FDayDate);
}
int TKestorFPrt::GetDayMin() const {
    return MinuteOf(FDayDate);
}
int TKestorFPrt::GetLastDocHour() const {
    return HourOf(FLastDocDate);
}
int TKestorFPrt::GetLastDocMin() const {
    return MinuteOf(FLastDocDate);
}
