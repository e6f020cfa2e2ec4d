// The status page in a real browser: headless Chromium, driven through its
// DevTools pipe, loads the page with the token in the address's fragment and
// shows the register's model and a green lamp once the register is opened.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "HubFixture.h"
#include "RpcTable.h"

namespace kest::hub::test {
namespace {

using namespace std::chrono_literals;

std::string FindChromium() {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/chromium";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// Chromium with its DevTools protocol on a pipe: commands go to its fd 3,
// answers and events come from its fd 4, each message ending in a NUL.
class TBrowser {
public:
    TBrowser(const std::string& Program, const std::filesystem::path& Profile) {
        int toBrowser[2], fromBrowser[2];
        if (pipe2(toBrowser, O_CLOEXEC) != 0 || pipe2(fromBrowser, O_CLOEXEC) != 0) return;
        const std::string profile = "--user-data-dir=" + Profile.string();
        FPid = fork();
        if (FPid == 0) {
            // Out of the way of 3 and 4 first, whatever numbers the pipes got.
            const int in = fcntl(toBrowser[0], F_DUPFD, 10);
            const int out = fcntl(fromBrowser[1], F_DUPFD, 10);
            const int null = open("/dev/null", O_RDWR);
            dup2(in, 3);
            dup2(out, 4);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(Program.c_str(), "chromium", "--headless", "--no-sandbox", "--disable-gpu",
                  "--disable-quic", "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", profile.c_str(),
                  "--remote-debugging-pipe", "about:blank", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toBrowser[0]);
        close(fromBrowser[1]);
        FIn = toBrowser[1];
        FOut = fromBrowser[0];
    }

    ~TBrowser() {
        if (FIn >= 0) close(FIn);  // the browser ends when its pipe closes
        if (FOut >= 0) close(FOut);
        if (FPid <= 0) return;
        for (int i = 0; i < 50 && waitpid(FPid, nullptr, WNOHANG) == 0; ++i)
            poll(nullptr, 0, 100);
        if (kill(FPid, SIGKILL) == 0) waitpid(FPid, nullptr, 0);
    }

    // Sends a command and waits for its answer; events meanwhile are dropped.
    TJson Send(const std::string& Method, const TJson& Params, const std::string& Session = {}) {
        TJson message{{"id", ++FId}, {"method", Method}, {"params", Params}};
        if (!Session.empty()) message["sessionId"] = Session;
        const std::string text = message.dump() + '\0';
        if (write(FIn, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {};
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        for (;;) {
            for (auto end = FBuffer.find('\0'); end != std::string::npos;
                 end = FBuffer.find('\0')) {
                TJson answer = TJson::parse(FBuffer.substr(0, end), nullptr, false);
                FBuffer.erase(0, end + 1);
                if (answer.is_object() && answer.value("id", 0) == FId) return answer;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd out{FOut, POLLIN, 0};
            if (left.count() <= 0 || poll(&out, 1, static_cast<int>(left.count())) <= 0) return {};
            char chunk[65536];
            const ssize_t n = read(FOut, chunk, sizeof chunk);
            if (n <= 0) return {};
            FBuffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    pid_t FPid = -1;
    int FIn = -1, FOut = -1;
    int FId = 0;
    std::string FBuffer;
};

// Waits in the page until the card of till1 has a green lamp and a model
// name, or 8 s have passed; then gives the card and where the token is.
constexpr const char* AwaitGreenCard = R"JS(new Promise((resolve) => {
  const end = Date.now() + 8000;
  const look = () => {
    const card = document.querySelector('[data-name="till1"]');
    const green = card && card.querySelector(".lamp").dataset.lamp === "green" &&
                  card.querySelector(".model").textContent.startsWith("КЕСТОР");
    if (green || Date.now() > end)
      resolve(JSON.stringify({ card: card ? card.outerHTML : "", hash: location.hash,
                               stored: sessionStorage.getItem("kestor-hub-token") }));
    else setTimeout(look, 50);
  };
  look();
}))JS";

TEST_F(THubFixture, StatusPageShowsModelAndGreenLampInABrowser) {
    const std::string chromium = FindChromium();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    char profile[] = "/tmp/kestor-hub-browser-XXXXXX";
    ASSERT_NE(mkdtemp(profile), nullptr);
    {
        TBrowser browser(chromium, profile);
        const std::string url =
            "http://127.0.0.1:" + std::to_string(FPort) + "/#token=" + std::string(Token);
        const TJson target = browser.Send("Target.createTarget", {{"url", url}});
        ASSERT_TRUE(target.contains("result")) << target;
        const TJson attached =
            browser.Send("Target.attachToTarget",
                         {{"targetId", target["result"]["targetId"]}, {"flatten", true}});
        ASSERT_TRUE(attached.contains("result")) << attached;
        const std::string session = attached["result"]["sessionId"];
        // Asked before the page has replaced about:blank, the question finds
        // nothing or loses its context: ask again.
        TJson seen;
        for (int attempt = 0; attempt < 20 && seen.is_null(); ++attempt) {
            const TJson answer = browser.Send(
                "Runtime.evaluate",
                {{"expression", AwaitGreenCard}, {"awaitPromise", true}, {"returnByValue", true}},
                session);
            ASSERT_TRUE(answer.is_object()) << "the browser does not answer";
            const TJson value = answer.value("/result/result/value"_json_pointer, TJson());
            if (!value.is_string()) continue;
            TJson found = TJson::parse(value.get<std::string>());
            if (!found["card"].get<std::string>().empty()) seen = std::move(found);
        }
        ASSERT_TRUE(seen.contains("card")) << "the page showed no register";
        const std::string card = seen["card"];
        EXPECT_NE(card.find(R"(data-lamp="green")"), std::string::npos) << card;
        EXPECT_NE(card.find("КЕСТОР-207.1Ф"), std::string::npos) << card;
        // The token left the address for the tab's session storage.
        EXPECT_EQ(seen["hash"], "");
        EXPECT_EQ(seen["stored"], Token);
    }
    std::filesystem::remove_all(profile);
}

}  // namespace
}  // namespace kest::hub::test
