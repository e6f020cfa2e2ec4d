// kestor-hub in the test's own process, serving registers played by the
// emulator, each behind a symlink named by KESTOR_COM<N> so that a test can
// unplug a register and put a new one in its place.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Hub.h"
#include "KestorEmu.h"

namespace kest::hub::test {

inline constexpr const char* Token = "test-token-0123456789abcdef";
inline constexpr const char* ShopOrigin = "https://shop.example";

class THubFixture : public ::testing::Test {
protected:
    // Registers "till1" on port 7 and "till2" on port 8, each with an emulator.
    void SetUp() override { Start(Limits()); }

    virtual TRegisterLimits Limits() const {
        TRegisterLimits limits;
        limits.QueueWait = std::chrono::seconds(5);
        return limits;
    }
    virtual std::chrono::milliseconds RequestTime() const { return std::chrono::seconds(10); }

    void Start(const TRegisterLimits& Limits) {
        char folder[] = "/tmp/kestor-hub-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        FFolder = folder;
        THubConfig config;
        config.Host = "127.0.0.1";
        config.Port = 0;
        config.Token = Token;
        config.AllowedOrigins = {ShopOrigin};
        config.Limits = Limits;
        config.RequestTime = RequestTime();
        config.Limits.InternalTimeout = 150;
        config.Limits.ExternalTimeout = 300;
        for (int i = 0; i < 2; ++i) {
            const int port = 7 + i;
            // Set before the hub's threads start: setenv races getenv.
            setenv(("KESTOR_COM" + std::to_string(port)).c_str(), Link(i).c_str(), 1);
            config.Registers.push_back({"till" + std::to_string(i + 1), port, {}, {}});
            Plug(i);
        }
        FHub = std::make_unique<THub>(config);
        FPort = FHub->Bind();
        FThread = std::thread([this] { FHub->Run(); });
    }

    void TearDown() override {
        if (FHub) FHub->Stop();
        if (FThread.joinable()) FThread.join();
        FHub.reset();
        FEmulators.clear();
        std::error_code ignored;
        std::filesystem::remove_all(FFolder, ignored);
    }

    std::filesystem::path Link(int Index) const {
        return FFolder / ("com" + std::to_string(Index + 1));
    }
    emu::TEmulator& Emulator(int Index) { return *FEmulators.at(Index); }

    // A new register behind the link of Index, in place of any before it.
    void Plug(int Index, emu::TConfig Config = {}) {
        if (FEmulators.size() <= static_cast<std::size_t>(Index)) FEmulators.resize(Index + 1);
        FEmulators[Index] = std::make_unique<emu::TEmulator>(std::move(Config));
        std::error_code ignored;
        std::filesystem::remove(Link(Index), ignored);
        std::filesystem::create_symlink(FEmulators[Index]->DevicePath(), Link(Index));
    }
    void Unplug(int Index) { FEmulators.at(Index).reset(); }

    std::unique_ptr<httplib::Client> Client() const {
        auto client = std::make_unique<httplib::Client>("127.0.0.1", FPort);
        client->set_read_timeout(5, 0);
        return client;
    }
    static httplib::Headers Auth(httplib::Headers More = {}) {
        More.emplace("Authorization", std::string("Bearer ") + Token);
        return More;
    }
    httplib::Result Rpc(const std::string& Register, const std::string& Body,
                        const httplib::Headers& Headers = Auth()) const {
        return Client()->Post(("/api/v1/registers/" + Register + "/rpc").c_str(), Headers, Body,
                              "application/json");
    }

    int FPort = 0;

private:
    std::filesystem::path FFolder;
    std::vector<std::unique_ptr<emu::TEmulator>> FEmulators;
    std::unique_ptr<THub> FHub;
    std::thread FThread;
};

}  // namespace kest::hub::test
