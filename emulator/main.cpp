// kestor-emu: a KESTOR register on a pseudo-terminal, until SIGINT or SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "KestorEmu.h"

namespace {

using namespace kest::emu;

std::invalid_argument BadValue(const char* Option, const std::string& Value,
                               const std::string& Why) {
    return std::invalid_argument(std::string(Option) + " \"" + Value + "\": " + Why);
}

// "bad-bcc" or "bad-bcc:3"; without a count the fault hits every answer.
std::pair<TFault, int> ParseFaultOption(const std::string& Text) {
    const size_t colon = Text.find(':');
    TFault fault;
    try {
        fault = ParseFault(Text.substr(0, colon));
    } catch (const std::invalid_argument& e) {
        throw BadValue("--fault", Text, e.what());
    }
    if (colon == std::string::npos) return {fault, -1};
    const std::string_view digits = std::string_view(Text).substr(colon + 1);
    int count = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    if (error == std::errc::result_out_of_range)
        throw BadValue("--fault", Text, "the count is too large");
    if (error != std::errc() || end != digits.data() + digits.size() || count < 1)
        throw BadValue("--fault", Text, "the count must be a positive whole number");
    return {fault, count};
}

uint8_t ParseNoticeByte(const std::string& Text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), value, 16);
    if (Text.empty() || Text.size() > 2 || error != std::errc() || end != Text.data() + Text.size())
        throw BadValue("--notice-byte", Text, "the device status byte is one or two hex digits");
    return static_cast<uint8_t>(value);
}

// A symlink Path -> Target, replacing an old symlink but nothing else.
void MakeLink(const std::string& Path, const std::string& Target) {
    struct stat st {};
    if (::lstat(Path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            throw std::runtime_error(Path + " exists and is not a symbolic link");
        if (::unlink(Path.c_str()) < 0)
            throw std::system_error(errno, std::system_category(), "unlink " + Path);
    }
    if (::symlink(Target.c_str(), Path.c_str()) < 0)
        throw std::system_error(errno, std::system_category(), "symlink " + Path);
}

// Appends Text to the tape, all of it or, on a file, nothing: a failed write
// is cut off again, so that no half document stays on the paper.
// std::system_error when the system refuses.
void WriteTape(int Fd, std::string_view Text, const std::string& Name) {
    struct stat st {};
    const bool file = ::fstat(Fd, &st) == 0 && S_ISREG(st.st_mode);
    while (!Text.empty()) {
        const ssize_t n = ::write(Fd, Text.data(), Text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            if (file) (void)!::ftruncate(Fd, st.st_size);
            throw std::system_error(error, std::system_category(), "write " + Name);
        }
        Text.remove_prefix(size_t(n));
    }
}

// Removes the link only while it still points at our device.
void RemoveLink(const std::string& Path, const std::string& Target) {
    char buf[256];
    const ssize_t n = ::readlink(Path.c_str(), buf, sizeof buf);
    if (n > 0 && std::string(buf, n) == Target) ::unlink(Path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "A KESTOR fiscal register on a pseudo-terminal, for running the driver without "
        "hardware."};
    std::string model = "207.1F", modelName, protocol = "bs", link, noticeByte = "0A",
                noticeCommands;
    TConfig config;
    int acks = 0, ackInterval = 0, notices = 0;
    std::vector<std::string> faults;
    app.add_option("--model", model,
                   "207.1F, station-f, pc-k, 207.1F-MD, 207.1K (or the driver's enum name)")
        ->capture_default_str();
    app.add_option("--model-name", modelName, "name to report instead of the model's own");
    app.add_option("--firmware", config.Firmware, "firmware tag (sets the generation)");
    app.add_option("--serial", config.Serial, "serial number, up to 7 characters")
        ->capture_default_str();
    app.add_option("--password", config.Password, "access password, up to 4 characters")
        ->capture_default_str();
    app.add_option("--protocol", protocol, "line protocol")
        ->check(CLI::IsMember({"bs", "xonxoff"}))
        ->capture_default_str();
    app.add_option("--baud", config.BaudRate, "initial rate")
        ->check(CLI::IsMember({9600, 19200, 57600, 115200}))
        ->capture_default_str();
    app.add_option("--link", link, "also make this symbolic link to the device");
    // Bounded: every ACK is queued at once, and a typo should not fill the memory.
    app.add_option("--acks", acks, "ACK bytes before every answer")->check(CLI::Range(0, 1000));
    app.add_option("--ack-interval", ackInterval, "milliseconds between the ACKs")
        ->check(CLI::Range(0, 60'000));
    app.add_option("--notices", notices, "printer-not-ready notices before the first answer")
        ->check(CLI::Range(0, 1000));
    app.add_option("--notice-byte", noticeByte, "device status byte of the notices, hex")
        ->capture_default_str();
    app.add_option("--notices-on", noticeCommands,
                   "the notices wait for a request of one of these command codes (\"6\": raw "
                   "printing) instead of coming before the first answer");
    app.add_option("--fault", faults,
                   "KIND[:N]: no-answer, cut-short, bad-bcc, garbage, etx-in-data, wrong-echo, "
                   "wrong-separator; N answers, or every one; interrupted-print: N fiscal "
                   "documents or reports are registered but answered with error 10; "
                   "endless-notices: N requests get printer-not-ready notices every 50 ms "
                   "in place of the answer, retry and cancel ignored");
    std::string tape;
    app.add_option("--tape", tape,
                   "append what the register prints to FILE, UTF-8 (\"-\": standard output)");
    app.add_option("--state", config.StateFile,
                   "keep the register's fiscal memory, numbering, shift and settings in FILE "
                   "(JSON), so that a restart goes on where it stopped");
    int lineTime = int(config.LineTime.count());
    app.add_option("--line-time", lineTime,
                   "milliseconds the printer takes for a line of raw output; on XON/XOFF the "
                   "register holds the host with XOFF meanwhile")
        ->check(CLI::Range(0, 10'000))
        ->capture_default_str();
    app.add_flag("--verbose", config.Verbose, "log requests and answers to stderr");
    app.add_flag("--paced", config.Paced,
                 "take and send at the byte rate of the current baud setting, as a real line does");
    CLI11_PARSE(app, argc, argv);

    try {
        config.Model = ParseModel(model);
        config.ModelName = kest::FromUtf8(modelName);
        config.XonXoff = protocol == "xonxoff";
        config.LineTime = std::chrono::milliseconds(lineTime);
        const uint8_t deviceByte = ParseNoticeByte(noticeByte);
        std::vector<std::pair<TFault, int>> faultList;
        for (const std::string& f : faults)
            faultList.push_back(ParseFaultOption(f));

        // The paper tape outlives the emulator, which writes to it. A write
        // it refuses makes the register answer that its printer stopped.
        // Opened before the stop signals are blocked: a FIFO without a
        // reader holds open(), and Ctrl-C must still end the wait.
        TFd tapeFile;
        int tapeOut = STDOUT_FILENO;
        if (!tape.empty() && tape != "-") {
            tapeFile = TFd(::open(tape.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
            if (tapeFile.Get() < 0)
                throw std::system_error(errno, std::system_category(), "open " + tape);
            tapeOut = tapeFile.Get();
        }
        if (!tape.empty())
            config.Tape = [tapeOut, name = tape == "-" ? "standard output" : tape](
                              std::string_view Text) { WriteTape(tapeOut, Text, name); };

        // The signals are taken by sigwait below; blocked before any thread starts.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

        TEmulator emulator(config);
        emulator.SetAcks(acks, std::chrono::milliseconds(ackInterval));
        if (notices > 0) emulator.SetNotices(notices, deviceByte, noticeCommands);
        for (const auto& [fault, count] : faultList)
            emulator.InjectFault(fault, count);
        if (!link.empty()) MakeLink(link, emulator.DevicePath());

        const TConfig& in = emulator.Config();
        std::cout << "kestor-emu: " << kest::ToUtf8(in.ModelName) << ", firmware \"" << in.Firmware
                  << "\", serial " << in.Serial << ", generation " << emulator.Generation()
                  << ", on " << emulator.DevicePath()
                  << (in.StateFile.empty() ? "" : ", state in " + in.StateFile)
                  << "\nKESTOR_COM1=" << emulator.DevicePath() << std::endl;

        int signal = 0;
        sigwait(&stopSignals, &signal);
        emulator.Stop();
        if (!link.empty()) RemoveLink(link, emulator.DevicePath());
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "kestor-emu: " << e.what() << "\n";
        return 1;
    }
}
