// The graphic header: a picture loaded into the register (command "3") and
// printed at the head of its documents, and switching it off.
#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "KestorFPrt.h"
#include "Messages.h"

namespace {

using namespace kest::msg;

constexpr uint8_t CmdGraphicHeader = '3';
constexpr uint8_t FlagEnable = 0x00;
constexpr uint8_t FlagDisable = 0x80;
constexpr int MaxWidth = 70;
constexpr int MaxHeight = 120;
constexpr int HeadSize = 13;  // width, height, flag, each with its 0x00

// Width, height and flag of the request.
void EncodeHead(int Width, int Height, uint8_t Flag, char (&Head)[HeadSize]) {
    std::fill(std::begin(Head), std::end(Head), '\0');
    TKestorFPrt::EncodeNumber(Width, -4, false, std::span(Head, 5));
    TKestorFPrt::EncodeNumber(Height, -4, false, std::span(Head + 5, 5));
    TKestorFPrt::ByteToHex(Flag, std::span(Head + 10, 2));
}

int HexDigitOf(char16_t C) {
    if (C >= u'0' && C <= u'9') return C - u'0';
    if (C >= u'A' && C <= u'F') return C - u'A' + 10;
    if (C >= u'a' && C <= u'f') return C - u'a' + 10;
    return -1;
}

}  // namespace

void TKestorFPrt::SendGraphicHeader(int Width, int Height, std::string_view HexText) {
    char head[HeadSize];
    EncodeHead(Width, Height, FlagEnable, head);
    // Up to 16801 bytes of picture: sent from its own buffer after the head,
    // as one frame.
    const std::string_view blocks[] = {{head, sizeof head}, HexText};
    TransferBlocks(CmdGraphicHeader, mctInternal, blocks);
}

void TKestorFPrt::EnableGraphicHeader(int Width, int Height, std::span<const uint8_t> Picture) {
    RunCmd([&] {
        CheckConnected();
        if (!GenerationIn({3, 7})) throw EKestUnsupported(usGraphicHeader);
        CheckArg(Width >= 1 && Width <= MaxWidth, iaPictureWidth);
        CheckArg(Height >= 1 && Height <= MaxHeight, iaPictureHeight);
        // The picture must hold exactly what the sizes promise: no byte is
        // read beyond it.
        CheckArg(Picture.size() == static_cast<size_t>(Width) * static_cast<size_t>(Height),
                 iaPictureData);
        std::string text(2 * Picture.size() + 1, '\0');
        for (size_t i = 0; i < Picture.size(); ++i)
            ByteToHex(Picture[i], std::span(text).subspan(2 * i, 2));
        SendGraphicHeader(Width, Height, text);
    });
}

void TKestorFPrt::EnableGraphicHeader(int Width, int Height, std::u16string_view HexText) {
    RunCmd([&] {
        CheckConnected();
        if (!GenerationIn({3, 7})) throw EKestUnsupported(usGraphicHeader);
        CheckArg(Width >= 1 && Width <= MaxWidth, iaPictureWidth);
        CheckArg(Height >= 1 && Height <= MaxHeight, iaPictureHeight);
        CheckArg(HexText.size() == 2 * static_cast<size_t>(Width) * static_cast<size_t>(Height),
                 iaPictureData);
        std::string text(HexText.size() + 1, '\0');
        for (size_t i = 0; i < HexText.size(); ++i) {
            const int digit = HexDigitOf(HexText[i]);
            CheckArg(digit >= 0, iaPictureData);
            text[i] = HalfByteToHex(static_cast<uint8_t>(digit));  // upper case
        }
        SendGraphicHeader(Width, Height, text);
    });
}

void TKestorFPrt::DisableGraphicHeader() {
    RunCmd([&] {
        CheckConnected();
        if (!GenerationIn({3, 7})) throw EKestUnsupported(usGraphicHeader);
        char request[HeadSize + 3] = {};
        char head[HeadSize];
        EncodeHead(1, 1, FlagDisable, head);
        std::copy(std::begin(head), std::end(head), request);
        TransferOut(CmdGraphicHeader, mctInternal, request, sizeof request);
    });
}
