// A driver whose line is a script in memory: it replaces the five port
// operations, records every block the driver writes, and hands the driver the
// register's next answer each time a request frame has been written, and
// after every block written outside a frame (a one-byte reply to a notice,
// the in-wait status request, raw device data, which the register
// acknowledges byte by byte on the BS protocol). A frame is what lies between
// a lone STX block and a lone ETX block. The engine above the seam runs
// unchanged.
#pragma once

#include <deque>

#include "KestorFPrt.h"

class TScriptedLine : public TKestorFPrt {
public:
    std::vector<std::string> Written;  // every SendData block, in order
    std::deque<std::string> Answers;   // delivered one per request (or reply byte)
    std::vector<int> ReadTimeouts;     // ReadConstant in force at each read

    // Identified register state, as Open would leave it, and the rest of what
    // identification tells.
    void Connect(int Generation, TKestEcrModel Model = mem207_1F) {
        FConnected = true, FConnState = mcsIdle, FGeneration = Generation, FEcrModel = Model;
    }
    void Identify(int Version, int SubVersion = 0, bool EKLZ = false) {
        FEcrVersion = Version, FEcrSubVersion = SubVersion, FEKLZSupported = EKLZ;
    }

    // Everything the driver wrote since the last call, joined.
    std::string Sent() {
        std::string all;
        for (const auto& block : std::exchange(Written, {}))
            all += block;
        return all;
    }

    template <class F>
    void Run(F&& f) {
        RunCmd(f);
    }
    using TKestorFPrt::Transfer;

protected:
    void OpenPort() override { FConnected = true; }
    void ClosePort(bool) override { FConnected = false; }
    void ClearPort() override { FInput.clear(); }

    void SendData(const void* Data, int Size) override {
        CheckAbort();
        const std::string block(static_cast<const char*>(Data), static_cast<size_t>(Size));
        Written.push_back(block);
        DoDataSend(Data, Size);
        // A lone STX opens a frame, a lone ETX in one ends it.
        const bool stx = block == "\x02", etx = FInFrame && block == "\x03";
        const bool answered = etx || (!FInFrame && !stx);
        FInFrame = stx || (FInFrame && !etx);
        if (answered && !Answers.empty()) FInput += Answers.front(), Answers.pop_front();
    }

    int ReceiveData(void* Buffer, int Size, bool Wait) override {
        CheckAbort();
        ReadTimeouts.push_back(CommTimeouts().ReadConstant);
        const int n = std::min(Size, static_cast<int>(FInput.size()));
        FInput.copy(static_cast<char*>(Buffer), static_cast<size_t>(n));
        FInput.erase(0, static_cast<size_t>(n));
        if (n > 0) DoDataReceive(Buffer, n);
        if (Wait && n < Size) ThenIdle([&] { AskNoResponse(); });  // nothing more will come
        return n;
    }

private:
    std::string FInput;
    bool FInFrame = false;  // between the STX and the ETX of a request
};

// A frame around Body (the echo up to the last data byte), with its checksum.
inline std::string WithBcc(const std::string& Body) {
    char bcc[2];
    TKestorFPrt::ByteToHex(TKestorFPrt::CountBCC(Body.data(), static_cast<int>(Body.size())), bcc);
    return "\x02" + Body + std::string(bcc, 2) + "\x03";
}

// The register's answer frame around Data.
inline std::string AnswerFrame(char Echo, const char* Status, const char* Error, const char* Device,
                               const std::string& Data = {}) {
    return WithBcc(std::string(1, Echo) + '\0' + std::string(Status, 4) + '\0' +
                   std::string(Error, 4) + '\0' + std::string(Device, 2) + '\0' + Data);
}
