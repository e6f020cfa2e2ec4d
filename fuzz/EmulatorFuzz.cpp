// The emulator's request parser: fuzzed host bytes into TRegister::Receive on
// every model and generation, with the clock stepped between them, and
// TRegister::Poll collecting what the register sends back. Whatever comes
// in, what goes out is only ACKs, XON, XOFF, device-status notices and
// answer frames that the driver can read: every frame with its ETX at the
// end only, its separators, hex fields and checksum right.
//
// Input: the first byte picks the register, then chunks of two bytes of
// header (mode in the top two bits, a 14-bit number) and their bytes. Modes:
// 0 the bytes as they stand; 1 a request frame around them, the password and
// checksum filled in (the first byte is the command); 2 a frame around them
// with the checksum filled in; 3 no bytes, the clock moves on by the number
// in tens of milliseconds.
#include <fuzzer/FuzzedDataProvider.h>

#include "Fuzz.h"
#include "Register.h"

namespace {

using namespace kest::emu;
using kest::fuzz::Finding;

struct TKind {
    TKestEcrModel Model;
    const char* Firmware;
    bool XonXoff;
};

constexpr TKind Kinds[] = {
    {mem207_1F, "1.0", false}, {mem207_1F, "2.0", false},   {mem207_1F, "2.0", true},
    {mem207_1F, "", false},    {mem207_1F, "", true},       {mem207_1F, "6.0", false},
    {mem207_1F, "6.0", true},  {memStationF, "1.0", false}, {memStationF, "", false},
    {memStationF, "", true},   {memPCK, "", false},         {memPCK, "", true},
    {mem207_1FMD, "", false},  {mem207_1FMD, "", true},     {mem207_1K, "", false},
    {mem207_1K, "", true},
};

constexpr auto IsHex = [](char C) { return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F'); };

// What the driver's engine accepts, token by token.
void CheckOutput(std::string_view Out) {
    for (size_t i = 0; i < Out.size();) {
        const char c = Out[i];
        if (c == Ack || c == Xon || c == Xoff) {
            ++i;
        } else if (c == Enq) {
            if (i + 3 > Out.size() || !IsHex(Out[i + 1]) || !IsHex(Out[i + 2]))
                Finding("a bad notice", Out);
            i += 3;
        } else if (c == Stx) {
            const size_t end = Out.find(Etx, i + 1);
            if (end == std::string_view::npos) Finding("a frame without ETX", Out);
            const std::string_view body = Out.substr(i + 1, end - i - 1);
            if (body.size() < 17) Finding("a short frame", Out);
            if (body[1] || body[6] || body[11] || body[14]) Finding("a frame's separators", Out);
            for (const size_t at : {2, 3, 4, 5, 7, 8, 9, 10, 12, 13})
                if (!IsHex(body[at])) Finding("a frame's hex fields", Out);
            const std::string_view bcc = body.substr(body.size() - 2);
            const uint8_t sum =
                TKestorFPrt::CountBCC(body.data(), static_cast<int>(body.size() - 2));
            if (!IsHex(bcc[0]) || !IsHex(bcc[1]) || TKestorFPrt::HexToByte(bcc) != sum)
                Finding("a frame's checksum", Out);
            i = end + 1;
        } else {
            Finding("a stray byte", Out);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Bytes, size_t Size) {
    if (Size == 0) return 0;
    const TKind& kind = Kinds[Bytes[0] % std::size(Kinds)];
    FuzzedDataProvider data(Bytes + 1, Size - 1);
    TRegister reg({.Model = kind.Model,
                   .Firmware = kind.Firmware,
                   .XonXoff = kind.XonXoff,
                   .LineTime = std::chrono::milliseconds(5)});

    auto now = TRegister::TClock::time_point() + std::chrono::hours(1);
    std::string out;
    while (data.remaining_bytes() >= 2) {
        const auto head = data.ConsumeBytes<uint8_t>(2);
        const int mode = head[0] >> 6;
        const int number = (head[0] & 0x3F) << 8 | head[1];
        if (mode == 3) {
            now += std::chrono::milliseconds(10 * number);
        } else {
            std::string bytes = data.ConsumeBytesAsString(static_cast<size_t>(number));
            if (mode == 1 && !bytes.empty()) bytes.insert(1, reg.Password().substr(0, 4) + '\0');
            if (mode != 0) bytes = kest::fuzz::Framed(bytes);
            reg.Receive(bytes, now, reg.BaudRate());
        }
        out += reg.Poll(now);
    }
    // Long enough for every reply wait and paced print to run out.
    out += reg.Poll(now + std::chrono::minutes(10));
    CheckOutput(out);
    return 0;
}
