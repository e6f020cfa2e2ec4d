// A driver whose line is memory, for measuring the driver's own work. A
// register (the emulator's, without its pty and thread) answers each
// operation once while the answers are recorded, block by block; replayed,
// the driver meets the same bytes at the same steps and nothing else runs.
#pragma once

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "KestorFPrt.h"
#include "Register.h"

class TMemoryLine : public TKestorFPrt {
public:
    explicit TMemoryLine(kest::emu::TRegister& Register) : FRegister(Register) {}

    // Runs Body against the register and keeps what it answered after every
    // block written; returns the bytes that crossed the line both ways.
    int64_t Record(const std::function<void(TKestorFPrt&)>& Body) {
        FScript.clear();
        FRecording = true;
        FLineBytes = 0;
        try {
            Body(*this);
        } catch (...) {
            FRecording = false;
            throw;
        }
        FRecording = false;
        return FLineBytes;
    }

    // Runs Body again on the recorded answers.
    void Replay(const std::function<void(TKestorFPrt&)>& Body) {
        FStep = 0;
        Body(*this);
        if (FStep != FScript.size()) throw std::logic_error("the replay took another path");
    }

protected:
    void OpenPort() override { FConnected = true; }
    void ClosePort(bool) override { FConnected = false; }
    void ClearPort() override {
        FInput.clear();
        FRead = 0;
    }

    // As the serial line's: the state events around the block, then its data event.
    void SendData(const void* Data, int Size) override {
        ThenIdle([&] {
            ChangeConnState(mcsWriting);
            CheckAbort();
            DoDataSend(Data, Size);
        });
        if (FRecording) {
            const auto now = std::chrono::steady_clock::now();
            FRegister.Receive({static_cast<const char*>(Data), static_cast<size_t>(Size)}, now);
            // Whatever is due soon; an unfinished frame is dropped only after 2 s.
            FScript.push_back(FRegister.Poll(now + std::chrono::seconds(1)));
            FLineBytes += Size + static_cast<int64_t>(FScript.back().size());
        } else if (FStep >= FScript.size()) {
            throw std::logic_error("the replay wrote more than was recorded");
        }
        FInput += FScript[FRecording ? FScript.size() - 1 : FStep++];
    }

    int ReceiveData(void* Buffer, int Size, bool Wait) override {
        int n = 0;
        ThenIdle([&] {
            ChangeConnState(mcsReading);
            CheckAbort();
            n = std::min(Size, static_cast<int>(FInput.size() - FRead));
            std::memcpy(Buffer, FInput.data() + FRead, static_cast<size_t>(n));
            FRead += static_cast<size_t>(n);
            if (n > 0) DoDataReceive(Buffer, n);
            if (Wait && n < Size) AskNoResponse();  // nothing more will come
        });
        return n;
    }

private:
    kest::emu::TRegister& FRegister;
    bool FRecording = false;
    std::vector<std::string> FScript;  // the answer after each block written
    size_t FStep = 0;
    int64_t FLineBytes = 0;
    std::string FInput;
    size_t FRead = 0;
};
