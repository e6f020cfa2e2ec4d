// The hub's settings: register and address options, origins, the token file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "Hub.h"
#include "Token.h"

namespace kest::hub {
namespace {

TEST(HubSettings, RegistersAddressesAndOrigins) {
    struct Good {
        const char* Text;
        std::string Name;
        int Port;
        std::optional<int> Baud;
        std::optional<std::string> Password;
    } good[] = {
        {"till1=1", "till1", 1, {}, {}},
        {"Shop_2-b=24,19200", "Shop_2-b", 24, 19200, {}},
        {"t=3,,1234", "t", 3, {}, "1234"},
        {"t=3,9600,1234", "t", 3, 9600, "1234"},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.Text);
        const TRegisterConfig config = ParseRegister(c.Text);
        EXPECT_EQ(config.Name, c.Name);
        EXPECT_EQ(config.PortNum, c.Port);
        EXPECT_EQ(config.BaudRate, c.Baud);
        EXPECT_EQ(config.Password, c.Password);
    }
    for (const char* bad : {"till1", "=1", "till 1=1", "t/1=1", "t=", "t=x", "t=1,fast",
                            "t=1,9600,1,2", "abcdefghijklmnopqrstuvwxyz0123456=1"})
        EXPECT_THROW(ParseRegister(bad), std::invalid_argument) << bad;

    std::string host;
    int port = 0;
    ParseListen("0.0.0.0:9850", host, port);
    EXPECT_EQ(host, "0.0.0.0");
    EXPECT_EQ(port, 9850);
    ParseListen("[::1]:80", host, port);
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 80);
    for (const char* bad : {"9850", ":9850", "localhost:", "h:70000", "h:-1", "h:80x"})
        EXPECT_THROW(ParseListen(bad, host, port), std::invalid_argument) << bad;

    EXPECT_EQ(CheckOrigin("HTTPS://Shop.Example:8443"), "https://shop.example:8443");
    for (const char* bad :
         {"*", "null", "shop.example", "https://", "https://shop.example/", "ftp://shop.example"})
        EXPECT_THROW(CheckOrigin(bad), std::invalid_argument) << bad;

    // Each register has a name and a port of its own.
    for (const char* second : {"a=2", "b=1"}) {
        THubConfig config;
        config.Registers = {ParseRegister("a=1"), ParseRegister(second)};
        EXPECT_THROW(THub{config}, std::invalid_argument) << second;
    }
    THubConfig config;
    config.Registers = {ParseRegister("a=1,1234")};  // the driver refuses the rate
    EXPECT_THROW(THub{config}, std::invalid_argument);
}

TEST(HubSettings, TokenIsMadeOnceAndKeptPrivate) {
    char folder[] = "/tmp/kestor-token-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::filesystem::path path = std::filesystem::path(folder) / "kestor" / "hub-token";
    bool created = false;
    const std::string token = LoadOrCreateToken(path, created);
    EXPECT_TRUE(created);
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(LoadOrCreateToken(path, created), token);
    EXPECT_FALSE(created);
    bool second = false;
    EXPECT_NE(LoadOrCreateToken(std::filesystem::path(folder) / "other", second), token);

    chmod(path.c_str(), 0644);  // readable by others: refused
    EXPECT_THROW(LoadOrCreateToken(path, created), std::runtime_error);
    chmod(path.c_str(), 0600);
    if (chown(path.c_str(), 65534, 65534) == 0) {  // another user's (only root may give it)
        EXPECT_THROW(LoadOrCreateToken(path, created), std::runtime_error);
        ASSERT_EQ(chown(path.c_str(), geteuid(), getegid()), 0);
    }
    std::ofstream(path) << "short\n";
    EXPECT_THROW(LoadOrCreateToken(path, created), std::runtime_error);
    std::filesystem::remove_all(folder);

    EXPECT_TRUE(SameToken(token, token));
    EXPECT_FALSE(SameToken(token.substr(0, 63), token));
    EXPECT_FALSE(SameToken(token + "0", token));
    EXPECT_FALSE(SameToken(token.substr(0, 63) + (token[63] == '0' ? "1" : "0"), token));
    EXPECT_FALSE(SameToken("", token));
}

}  // namespace
}  // namespace kest::hub
