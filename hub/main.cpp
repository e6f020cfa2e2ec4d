// kestor-hub: serves registers to browser point-of-sale pages over local HTTP.
#include <CLI/CLI.hpp>

#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Hub.h"
#include "Token.h"

namespace {

// Exit code for options the hub cannot use.
constexpr int ExitBadSetting = 2;

// A driver message has its detail on a second line; stderr gets one line.
std::string OneLine(std::string Text) {
    for (auto pos = Text.find("\r\n"); pos != std::string::npos; pos = Text.find("\r\n"))
        Text.replace(pos, 2, " ");
    return Text;
}

#ifdef _WIN32
// Ctrl+C, Ctrl+Break, closing the console, logging off and shutting down stop
// the hub, from a thread the system starts for the handler.
std::mutex StopLock;
kest::hub::THub* StopTarget = nullptr;

BOOL WINAPI StopOnControl(DWORD) {
    std::lock_guard lock(StopLock);
    if (StopTarget) StopTarget->Stop();
    return TRUE;
}

void SetStopTarget(kest::hub::THub* Hub) {
    std::lock_guard lock(StopLock);
    StopTarget = Hub;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kestor-hub: KESTOR registers for browser point-of-sale pages, over local HTTP"};
    app.set_config("--config", "", "read the options from a TOML file (register = [\"till=1\"])");

    std::vector<std::string> registers;
    std::string listen = "127.0.0.1:9850";
    std::string tokenFile;
    std::vector<std::string> origins;
    int queueWait = 20000, requestTime = 10000;
    int internalTimeout = 0, externalTimeout = 0, maxTimeout = 60000, statusInterval = 15000;
    app.add_option("--register", registers,
                   "NAME=N[,baud][,password]: a register on port N (KESTOR_COM<N> applies)")
        ->required();
    app.add_option("--listen", listen, "ADDR:PORT to listen on")->capture_default_str();
#ifdef _WIN32
    const char* defaultToken = "%LOCALAPPDATA%\\kestor\\hub-token";
#else
    const char* defaultToken = "$XDG_CONFIG_HOME/kestor/hub-token";
#endif
    app.add_option("--token-file", tokenFile,
                   std::string("where the token is kept (default ") + defaultToken + ")");
    app.add_option("--allow-origin", origins,
                   "an origin whose pages may call, e.g. "
                   "https://shop.example");
    app.add_option("--queue-wait", queueWait, "ms a call waits for the calls before it")
        ->capture_default_str()
        ->check(CLI::Range(0, 3600000));
    app.add_option("--request-time", requestTime,
                   "ms a client may take to send one request (headers and body)")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600000));
    app.add_option("--internal-timeout", internalTimeout, "the driver's internal time-out, ms")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--external-timeout", externalTimeout, "the driver's external time-out, ms")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--max-timeout", maxTimeout,
                   "the longest time-out, ms, a client may set for its own call")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600000));
    app.add_option("--status-interval", statusInterval,
                   "the shortest time, ms, between two status queries to a register for /metrics")
        ->capture_default_str()
        ->check(CLI::Range(0, 86400000));
    CLI11_PARSE(app, argc, argv);

#ifndef _WIN32
    // SIGINT and SIGTERM are taken by one thread, which stops the hub; every
    // thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
#endif

    kest::hub::THubConfig config;
    std::unique_ptr<kest::hub::THub> hub;
    bool created = false;
    std::filesystem::path tokenPath;
    try {
        for (const auto& text : registers)
            config.Registers.push_back(kest::hub::ParseRegister(text));
        kest::hub::ParseListen(listen, config.Host, config.Port);
        config.AllowedOrigins = origins;
        config.Limits.QueueWait = std::chrono::milliseconds(queueWait);
        config.RequestTime = std::chrono::milliseconds(requestTime);
        if (app.count("--internal-timeout")) config.Limits.InternalTimeout = internalTimeout;
        if (app.count("--external-timeout")) config.Limits.ExternalTimeout = externalTimeout;
        config.Limits.MaxTimeout = maxTimeout;
        config.StatusInterval = std::chrono::milliseconds(statusInterval);
        tokenPath =
            tokenFile.empty() ? kest::hub::DefaultTokenPath() : std::filesystem::path(tokenFile);
        config.Token = kest::hub::LoadOrCreateToken(tokenPath, created);
        hub = std::make_unique<kest::hub::THub>(config);
    } catch (const std::exception& e) {
        std::cerr << "kestor-hub: " << OneLine(e.what()) << '\n';
        return ExitBadSetting;
    }

    try {
        const int port = hub->Bind();
        const std::string host =
            config.Host.find(':') != std::string::npos ? "[" + config.Host + "]" : config.Host;
        const std::string url = "http://" + host + ":" + std::to_string(port) + "/";
        // The token itself goes only to a terminal: a service's output ends
        // in a journal that more people may read than the token file.
        if (created && isatty(STDOUT_FILENO))
            std::cout << "kestor-hub: a new token, kept in " << tokenPath.string() << ":\n"
                      << config.Token << "\nkestor-hub: the status page is " << url
                      << "#token=" << config.Token << '\n';
        else if (created)
            std::cout << "kestor-hub: a new token, kept in " << tokenPath.string() << '\n';
        std::cout << "kestor-hub:";
        for (const auto& reg : config.Registers)
            std::cout << (&reg == &config.Registers.front() ? " " : ", ") << reg.Name << " (port "
                      << reg.PortNum << ')';
        std::cout << " on " << url << std::endl;

#ifdef _WIN32
        SetStopTarget(hub.get());
        SetConsoleCtrlHandler(StopOnControl, TRUE);
        hub->Run();
        SetStopTarget(nullptr);
#else
        std::thread watcher([&hub, &stopSignals] {
            int caught = 0;
            sigwait(&stopSignals, &caught);
            hub->Stop();
        });
        hub->Run();
        // Run also ends when the server fails; the watcher then needs a signal.
        pthread_kill(watcher.native_handle(), SIGTERM);
        watcher.join();
#endif
    } catch (const std::exception& e) {
        std::cerr << "kestor-hub: " << OneLine(e.what()) << '\n';
        return 1;
    }
    return 0;
}
