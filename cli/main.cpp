// kestorctl: the driver from the command line.
#include <CLI/CLI.hpp>

#include <exception>
#include <functional>
#include <iostream>
#include <string>

#include "Commands.h"
#include "KestorFPrt.h"
#include "Rpc.h"

namespace {

// Exit code of `rpc` when the driver refuses a setting given on the command line.
constexpr int ExitBadSetting = 2;

#ifdef _WIN32
constexpr const char* PortHelp = "port number N: the device KESTOR_COM<N> names, else COM<N>";
#else
constexpr const char* PortHelp =
    "port number N: the device KESTOR_COM<N> names, else /dev/ttyS<N-1>";
#endif

struct TSettings {
    int PortNum = 0;
    int BaudRate = 0;
    std::string Password;
    int InternalTimeout = 0;
    int ExternalTimeout = 0;
    std::string PrinterError = "cancel";
    bool Trace = false;
};

// Applies the given options through the driver's setters, in a fixed order.
bool ApplySettings(TKestorFPrt& Driver, const TSettings& Settings, const CLI::App& App) {
    const auto given = [&App](const char* Option) { return App.count(Option) > 0; };
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"--port", [&] { Driver.SetPortNum(Settings.PortNum); }},
        {"--baud", [&] { Driver.SetBaudRate(Settings.BaudRate); }},
        {"--password", [&] { Driver.SetPassword(kest::FromUtf8(Settings.Password)); }},
        {"--internal-timeout", [&] { Driver.SetInternalTimeout(Settings.InternalTimeout); }},
        {"--external-timeout", [&] { Driver.SetExternalTimeout(Settings.ExternalTimeout); }},
    };
    for (const auto& [option, apply] : steps) {
        if (!given(option)) continue;
        try {
            apply();
        } catch (const std::exception& e) {
            std::cerr << "kestorctl: " << option << ": " << kest::OneLine(e.what()) << '\n';
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kestorctl: drives a KESTOR fiscal register through libkestor"};
    app.require_subcommand(1);
    app.fallthrough();  // the global options may follow the subcommand too

    TSettings settings;
    app.add_option("--port", settings.PortNum, PortHelp);
    app.add_option("--baud", settings.BaudRate, "baud rate");
    app.add_option("--password", settings.Password, "access password");
    app.add_option("--internal-timeout", settings.InternalTimeout, "internal time-out, ms");
    app.add_option("--external-timeout", settings.ExternalTimeout, "external time-out, ms");
    app.add_option("--printer-error", settings.PrinterError, "answer to printer and display errors")
        ->check(CLI::IsMember({"retry", "cancel"}));
    app.add_flag("--trace", settings.Trace,
                 "rpc: the driver's events as JSON lines; the other subcommands: --dump");
    kest::TCommands commands(
        app, {[&](TKestorFPrt& Driver) { return ApplySettings(Driver, settings, app); },
              [&app](const char* Option) { return app.count(Option) > 0; }, settings.Trace,
              settings.PrinterError});

    auto* version = app.add_subcommand("version", "print the driver's version");
    version->callback([] {
        const TKestorFPrt driver;
        std::cout << "libkestor " << kest::ToUtf8(driver.Version()) << '\n';
    });

    auto* rpc = app.add_subcommand(
        "rpc", "answer JSON requests, one a line on standard input, one a line on standard output");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help is a success; anything else is wrong usage.
        return app.exit(e) == 0 ? kest::ExitOk : kest::ExitUsage;
    }

    if (rpc->parsed()) {
        TKestorFPrt driver;
        if (!ApplySettings(driver, settings, app)) return ExitBadSetting;
        kest::TRpcSession session(driver, std::cout, settings.Trace,
                                  settings.PrinterError == "retry");
        commands.AttachDump(driver);
        session.Run(std::cin);
        return 0;
    }
    return commands.Run();
}
