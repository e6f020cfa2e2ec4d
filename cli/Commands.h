// The everyday subcommands of kestorctl: each opens the connection with the
// global options, does one thing, prints a readable result (or one JSON object
// with --json) and exits 0 on success, 1 when the driver fails (its message on
// standard error, one line) and 2 on wrong usage. `detect` looks for registers
// on several ports instead of opening one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "KestorFPrt.h"

namespace kest {

inline constexpr int ExitOk = 0;
inline constexpr int ExitDriverError = 1;
inline constexpr int ExitUsage = 2;

// A driver message has its detail on a second line; standard error gets one line.
std::string OneLine(std::string_view Text);

// What the subcommands take from kestorctl's global options.
struct TGlobalOptions {
    // Applies the connection options given on the command line to a driver;
    // false when the driver refused one (already reported on standard error).
    std::function<bool(TKestorFPrt&)> Configure;
    // Whether the named global option was given.
    std::function<bool(const char*)> Given;
    const bool& Trace;
    // "retry" or "cancel": the answer to printer and display errors.
    const std::string& PrinterError;
};

class TCommands {
public:
    // Adds the subcommands and the global options --dump and --trace-password to App.
    TCommands(CLI::App& App, TGlobalOptions Options);
    ~TCommands();
    TCommands(const TCommands&) = delete;
    TCommands& operator=(const TCommands&) = delete;

    // Runs the parsed subcommand when it is one of these; its exit status (0
    // when another subcommand was parsed).
    int Run();
    // With --dump: the readable line dump of Driver on standard error, beside
    // the handlers the driver already has (rpc keeps its JSON trace).
    void AttachDump(TKestorFPrt& Driver);

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

}  // namespace kest
