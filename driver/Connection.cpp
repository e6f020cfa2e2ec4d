// Connection: opening the port, identifying the register, closing, the
// published Active switch and the access password.
#include <algorithm>
#include <string_view>

#include "KestorFPrt.h"
#include "Messages.h"

namespace {

constexpr uint8_t CmdIdentify = 'E';
constexpr uint8_t CmdPassword = '7';
constexpr int EcrBadPassword = 18;  // the register's "wrong password"

// What a register's model name and firmware tag tell about it. Tags are
// compared as prefixes, in this order; the first match wins.
struct TIdentity {
    std::u16string_view ModelName;
    TKestEcrModel Model;
    std::string_view TagPrefix;
    int Version;
    std::string_view SubVersionPrefix;  // the sub-version follows it, when the tag has it
    int Generation;
    bool EKLZ;
    TKestCodingType Coding;
};

constexpr TIdentity Identities[] = {
    {u"КЕСТОР-207.1Ф", mem207_1F, "1.0 VLS", 0x0300, "1.0 VLS B", 3, false, mctGeneral},
    {u"КЕСТОР-207.1Ф", mem207_1F, "1.0", 0x0100, {}, 1, false, mctGeneral},
    {u"КЕСТОР-207.1Ф", mem207_1F, "2.0", 0x0200, {}, 2, false, mctGeneral},
    {u"КЕСТОР-207.1Ф", mem207_1F, "6.0", 0x0600, {}, 6, false, mctGeneral},
    {u"КЕСТОР-СТАНЦИЯ-Ф", memStationF, "1.0", 0x0100, {}, 1, false, mctGeneral},
    {u"КЕСТОР-СТАНЦИЯ-Ф", memStationF, "2.0", 0x0200, {}, 6, false, mctGeneral},
    {u"Кестор PC-K", memPCK, "1.0 PCK", 0x0100, {}, 7, true, mctGeneral},
    {u"KESTOR-207.1F", mem207_1FMD, "1.0 MD", 0x0100, "1.0 MD B", 3, false, mctMoldavian},
    {u"КЕСТОР-207.1К", mem207_1K, "1.0", 0x0100, {}, 8, true, mctGeneral},
};

// Layout of the identification answer: four texts, each followed by 0x00.
constexpr int SerialAt = 0, SerialSize = 7;
constexpr int ModelAt = 8, ModelSize = 30;
constexpr int MakerAt = 39, MakerSize = 30;
constexpr int TagAt = 70, TagSize = 30;

std::string_view Field(const char* Answer, int At, int Size) {
    const std::string_view field(Answer + At, static_cast<size_t>(Size));
    return field.substr(0, field.find('\0'));
}

// "2.5" -> 0x0205; a missing number counts as 0. Digits beyond what a
// version can hold are ignored rather than overflowing.
int ParseSubVersion(std::string_view Text) {
    size_t i = 0;
    const auto number = [&] {
        int value = 0;
        for (; i < Text.size() && Text[i] >= '0' && Text[i] <= '9'; ++i)
            if (value < 0x10000) value = value * 10 + (Text[i] - '0');
        return value;
    };
    const int major = number();
    int minor = 0;
    if (i < Text.size() && Text[i] == '.') {
        ++i;
        minor = number();
    }
    return major * 256 + minor;
}

// Whether C is one byte of the register's code page (not NUL, not "?" for
// want of a form).
bool HasRegisterForm(char16_t C, TKestCodingType Coding) {
    char byte[2];
    TKestorFPrt::EncodeString(std::u16string_view(&C, 1), byte, Coding);
    return byte[0] != 0 && (byte[0] != '?' || C == u'?');
}

}  // namespace

void TKestorFPrt::RequestIdentity(TIdentityAnswer& Answer) {
    TransferIn(CmdIdentify, mctInternal, Answer, sizeof Answer);
    CheckSeparators({Answer[SerialAt + SerialSize], Answer[ModelAt + ModelSize],
                     Answer[MakerAt + MakerSize], Answer[TagAt + TagSize]});
}

void TKestorFPrt::StoreIdentity(const TIdentityAnswer& Answer) {
    FSerialNumber = DecodeString(Field(Answer, SerialAt, SerialSize), FCoding);
    FModelName = DecodeString(Field(Answer, ModelAt, ModelSize), FCoding);
    FManufacturer = DecodeString(Field(Answer, MakerAt, MakerSize), FCoding);
    FFirmwareVersion = DecodeString(Field(Answer, TagAt, TagSize), FCoding);
}

void TKestorFPrt::ReadIdentity() {
    TIdentityAnswer answer;
    RequestIdentity(answer);
    StoreIdentity(answer);
}

void TKestorFPrt::StartConnection() {
    OpenPort();
    try {
        ChangeConnState(mcsIdle);
        TIdentityAnswer answer;
        RequestIdentity(answer);

        const std::string_view model = Field(answer, ModelAt, ModelSize);
        const std::string_view tag = Field(answer, TagAt, TagSize);
        const TIdentity* found = nullptr;
        for (const TIdentity& row : Identities) {
            char name[ModelSize + 1];
            EncodeString(row.ModelName, name, row.Coding);
            if (model == std::string_view(name) && tag.starts_with(row.TagPrefix)) {
                found = &row;
                break;
            }
        }
        if (!found) throw EKestUnknownDevice();

        FEcrModel = found->Model;
        FCoding = found->Coding;
        FEcrVersion = found->Version;
        FEcrSubVersion =
            !found->SubVersionPrefix.empty() && tag.starts_with(found->SubVersionPrefix)
                ? ParseSubVersion(tag.substr(found->SubVersionPrefix.size()))
                : 0;
        FGeneration = found->Generation;
        FEKLZSupported = found->EKLZ;
        StoreIdentity(answer);
    } catch (...) {
        ChangeConnState(mcsNone);
        ClosePort(true);
        throw;
    }
}

void TKestorFPrt::Open() {
    RunCmd([&] {
        if (FConnected) throw EKestConnOpened();
        FActive = true;
        // In the designer, or while the form loads, only the switch is set;
        // Loaded connects once loading is over.
        if (Designing() || Loading()) return;
        try {
            StartConnection();
            // The identification answer came before the generation was known.
            UpdateEcrStatus();
            UpdateDevStatus();
            if (FDocStatus == mdsUnknown) {
                FDocStatus = mdsClosed;
                DoStatusUpdate();
            }
        } catch (...) {
            try {
                Close(true);
            } catch (...) {
                // The failure that made Open give up is the one to report.
            }
            throw;
        }
    });
}

void TKestorFPrt::Close(bool Silent) {
    RunCmd([&] {
        if (!FActive && !Silent) throw EKestConnClosed();
        // A close that fails has still released the port: forget the
        // register either way, then report the failure.
        std::exception_ptr closeError;
        try {
            ClosePort(Silent);
        } catch (...) {
            closeError = std::current_exception();
        }
        FActive = false;
        ChangeConnState(mcsNone);
        const TStatusView before = StatusView();
        ResetRegisterState();
        // Only a change is news: a handler that closes again must not recurse.
        if (StatusView() != before) DoStatusUpdate();
        if (closeError) std::rethrow_exception(closeError);
    });
}

void TKestorFPrt::ResetRegisterState() {
    FEcrModel = memUnknown;
    FEcrVersion = FEcrSubVersion = FGeneration = 0;
    FCoding = mctGeneral;
    FEKLZSupported = false;
    FProtocol = mprUnknown;
    FRawEcrStatus = 0;
    FEcrStatus = FEcrStatusMask = 0;
    FRawDevStatus = 0;
    FDevStatus = FDevStatusMask = 0;
    FDocStatus = mdsUnknown;
    FOper = motUnknown;
    FSaleSum = FBuyingSum = FLastDocSum = FLastBuyingSum = {};
    FRegNumber.clear();
    FTaxPayerNumber.clear();
    for (auto& line : FHeaderLines)
        line.clear();
    FTaxName.clear();
    FStartDate = FEndDate = FReportDate = FTaxDate = FDayDate = FLastDocDate = FEcrDateTime = 0;
    FStartNumber = FEndNumber = FCounterCount = FLastFiscalReport = FLastDayClosing = 0;
    FLastDocOper = FLastDocNumber = FLastRecNumber = FLastRepNumber = 0;
    FLastDocType = motUnknown;
    FEKLZRest = 0;
    FRewritesRemain = FDaysRemain = -1;  // unknown until read again
    FEKLZActivated = FEKLZArchiving = FEKLZReporting = false;
    FEKLZDayOpened = FEKLZFatalError = FEKLZAttention = false;
    FEKLZOper = motUnknown;
    FCachedOper = motUnknown;
    FPrinterEscSent = FDisplayEscSent = false;  // the output ended with the connection
    InvalidateCounters();
    // An unsent document is gone with the register it was meant for.
    FReceiptItemCount = 0;
    ResetPropertyBuffer();
    // The identity strings keep the last register's values.
}

void TKestorFPrt::TestConnection() {
    RunCmd([&] {
        try {
            if (FConnected) {
                ReadIdentity();
            } else {
                StartConnection();
                ClosePort(true);
                ChangeConnState(mcsNone);  // the line is closed again
            }
        } catch (const EKestEcrError&) {
            // The register answered, which is all this asks.
        }
    });
}

void TKestorFPrt::SetActive(bool Value) {
    RunCmd([&] {
        if (Value && !FActive)
            Open();
        else if (!Value && FActive)
            Close(false);
    });
}

void TKestorFPrt::Loaded() {
    TKestComponent::Loaded();
    if (FActive) Open();
}

void TKestorFPrt::SetPassword(std::u16string_view Value) {
    RunCmd([&] {
        if (Value == FPassword) return;
        // The register keeps four characters of its code page; anything else
        // would be cut or turned into "?", and the driver would then send a
        // password the register never got.
        if (Value.size() > 4 ||
            !std::ranges::all_of(Value, [this](char16_t C) { return HasRegisterForm(C, FCoding); }))
            throw kest::msg::InvalidArg(kest::msg::iaPassword);
        char field[5];
        EncodeString(Value, field, FCoding);
        if (FConnected) {
            // The frame still carries the old password.
            ChangeSetting([&] { TransferOut(CmdPassword, mctInternal, field, sizeof field); },
                          [&] { ResyncPassword(FPassword, std::u16string(Value)); });
        }
        FPassword = Value;
    });
}

void TKestorFPrt::ChangeSetting(const std::function<void()>& Exchange,
                                const std::function<void()>& Resync) {
    try {
        Exchange();
    } catch (const EKestEcrError&) {
        throw;  // refused: the old setting holds
    } catch (const EKestRequestAborted&) {
        throw;  // the caller wants out now
    } catch (const EKestConnClosed&) {
        throw;
    } catch (...) {
        Resync();
        throw;
    }
}

TKestorFPrt::TProbe TKestorFPrt::ProbeRegister() {
    try {
        TIdentityAnswer answer;
        RequestIdentity(answer);
        return TProbe::Answered;
    } catch (const EKestEcrError& e) {
        return e.ErrCodeEx() == EcrBadPassword ? TProbe::WrongPassword : TProbe::Answered;
    } catch (...) {
        return TProbe::Silent;
    }
}

void TKestorFPrt::ResyncPassword(std::u16string Old, std::u16string New) {
    // The register may have taken the new password and only its answer got
    // lost. Keep whichever it takes; one that refuses both can only hold the
    // new one.
    FPassword = New;
    if (ProbeRegister() == TProbe::Answered) return;
    FPassword = Old;
    if (ProbeRegister() == TProbe::WrongPassword) FPassword = New;
}
