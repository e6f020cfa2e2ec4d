// Child processes for the end-to-end tests of kestorctl: the program under
// test and the register emulator, driven through pipes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace kest::test {

// Bounds of waits that end as soon as the awaited line comes; only a hang
// runs into them.
constexpr int LineTimeoutMs = 2000;
constexpr int ExitTimeoutMs = 2000;

// A child process with its standard input and output on pipes, and its
// standard error too when asked. Killed and reaped on destruction, so a
// failed assertion leaves nothing behind.
class TProcess {
public:
    TProcess(const std::vector<std::string>& Argv, const std::vector<std::string>& Env = {},
             bool CaptureErr = false) {
        signal(SIGPIPE, SIG_IGN);  // a dead child must fail the test, not kill it
        int in[2], out[2], err[2] = {-1, -1};
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        if (CaptureErr && pipe2(err, O_CLOEXEC) != 0) return;
        std::vector<char*> args, env;
        for (const auto& arg : Argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        for (const auto& var : Env)
            env.push_back(const_cast<char*>(var.c_str()));
        for (char** var = environ; *var; ++var)
            env.push_back(*var);
        env.push_back(nullptr);

        FPid = fork();
        if (FPid == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            if (err[1] >= 0) dup2(err[1], STDERR_FILENO);
            execve(args[0], args.data(), env.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        if (err[1] >= 0) close(err[1]);
        FIn = in[1];
        FOut = out[0];
        FErr = err[0];
        FPidFd = static_cast<int>(syscall(SYS_pidfd_open, FPid, 0));
    }

    ~TProcess() {
        CloseInput();
        if (FPid > 0 && !FStatus) {
            kill(FPid, SIGTERM);
            if (!WaitExit(ExitTimeoutMs)) {
                kill(FPid, SIGKILL);
                waitpid(FPid, nullptr, 0);
            }
        }
        if (FOut >= 0) close(FOut);
        if (FErr >= 0) close(FErr);
        if (FPidFd >= 0) close(FPidFd);
    }

    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    void WriteLine(const std::string& Line) {
        const std::string text = Line + '\n';
        ASSERT_EQ(write(FIn, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // Writes Text as far as the child reads it; false when it stopped reading.
    bool Write(const std::string& Text) {
        for (size_t done = 0; done < Text.size();) {
            const ssize_t n = write(FIn, Text.data() + done, Text.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    void CloseInput() {
        if (FIn >= 0) close(FIn);
        FIn = -1;
    }

    // The next line without its newline; nothing at the end of the output or
    // when no line comes within TimeoutMs.
    std::optional<std::string> ReadLine(int TimeoutMs = LineTimeoutMs) {
        for (;;) {
            if (const auto end = FBuffer.find('\n'); end != std::string::npos) {
                std::string line = FBuffer.substr(0, end);
                FBuffer.erase(0, end + 1);
                return line;
            }
            pollfd p{FOut, POLLIN, 0};
            if (poll(&p, 1, TimeoutMs) <= 0) return std::nullopt;
            char chunk[4096];
            const ssize_t n = read(FOut, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            FBuffer.append(chunk, static_cast<size_t>(n));
        }
    }

    // Closes the input and reads both outputs to their end (standard error
    // when captured); false when they do not end within TimeoutMs.
    bool ReadToEnd(std::string& Out, std::string& Err, int TimeoutMs = ExitTimeoutMs) {
        CloseInput();
        Out = std::exchange(FBuffer, {});
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
        while (FOut >= 0 || FErr >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            // Both pipes at once, so that a full one cannot stall the child.
            pollfd p[2] = {{FOut, POLLIN, 0}, {FErr, POLLIN, 0}};
            if (left.count() <= 0 || poll(p, 2, static_cast<int>(left.count())) <= 0) return false;
            for (auto [fd, text] : {std::pair{&FOut, &Out}, std::pair{&FErr, &Err}}) {
                const pollfd& polled = fd == &FOut ? p[0] : p[1];
                if (*fd < 0 || !(polled.revents & (POLLIN | POLLHUP))) continue;
                char chunk[4096];
                const ssize_t n = read(*fd, chunk, sizeof chunk);
                if (n > 0) {
                    text->append(chunk, static_cast<size_t>(n));
                } else {
                    close(*fd);
                    *fd = -1;
                }
            }
        }
        return true;
    }

    // The exit code, once the process has ended within TimeoutMs.
    std::optional<int> WaitExit(int TimeoutMs = ExitTimeoutMs) {
        if (!FStatus && FPid > 0) {
            pollfd p{FPidFd, POLLIN, 0};
            if (FPidFd >= 0 && poll(&p, 1, TimeoutMs) <= 0) return std::nullopt;
            int status = 0;
            if (waitpid(FPid, &status, 0) == FPid) FStatus = status;
        }
        if (!FStatus) return std::nullopt;
        return WIFEXITED(*FStatus) ? WEXITSTATUS(*FStatus) : 128 + WTERMSIG(*FStatus);
    }

private:
    pid_t FPid = -1;
    int FPidFd = -1;
    int FIn = -1;
    int FOut = -1;
    int FErr = -1;
    std::string FBuffer;
    std::optional<int> FStatus;
};

// kestor-emu serving on a pseudo-terminal; Port is the KESTOR_COM1 setting,
// Device the pseudo-terminal.
struct TEmulator {
    explicit TEmulator(std::vector<std::string> Args) : Process(WithPath(Args)) {
        const std::string prefix = "KESTOR_COM1=";
        while (const auto line = Process.ReadLine())
            if (line->starts_with(prefix)) {
                Port = *line;
                Device = line->substr(prefix.size());
                return;
            }
        ADD_FAILURE() << "the emulator did not name its port";
    }

    static std::vector<std::string> WithPath(std::vector<std::string> Args) {
        Args.insert(Args.begin(), KESTOR_EMU_PATH);
        return Args;
    }

    TProcess Process;
    std::string Port;
    std::string Device;
};

}  // namespace kest::test
