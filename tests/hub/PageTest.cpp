// The status page in a real browser: headless Chromium, driven through its
// DevTools pipe, loads the page with the token in the address's fragment,
// shows the register's model and a green lamp once the register is opened,
// and prints a sample receipt and an X report with its buttons.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
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

// Presses a button of a register's card and waits until the card's buttons
// work again; gives the text the card shows then.
std::string Click(const std::string& Card, const std::string& Button) {
    return R"JS(new Promise((resolve) => {
  const card = document.querySelector('[data-name=")JS" +
           Card + R"JS("]');
  card.querySelector(".)JS" +
           Button + R"JS(").click();
  const end = Date.now() + 8000;
  const look = () => {
    if (!card.querySelector("button").disabled || Date.now() > end)
      resolve(card.querySelector(".answer").textContent);
    else setTimeout(look, 50);
  };
  look();
}))JS";
}

// What an emulator prints, collected as it comes.
class TTape {
public:
    emu::TTapeSink Sink() {
        return [this](std::string_view Text) {
            std::lock_guard lock(FLock);
            FText += Text;
        };
    }
    std::string Text() {
        std::lock_guard lock(FLock);
        return FText;
    }
    std::size_t Count(const std::string& Line) {
        const std::string text = Text();
        std::size_t count = 0;
        for (auto at = text.find(Line); at != std::string::npos; at = text.find(Line, at + 1))
            ++count;
        return count;
    }

private:
    std::mutex FLock;
    std::string FText;
};

TEST_F(THubFixture, StatusPageDrivesTheRegisterInABrowser) {
    const std::string chromium = FindChromium();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    // A composite document on till1 (generation 3), a standard receipt on
    // till2 (generation 8); the hub opens them on the page's first call.
    TTape tape1, tape2;
    Plug(0, {.Tape = tape1.Sink()});
    Plug(1, {.Model = mem207_1K, .Tape = tape2.Sink()});
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

        const auto click = [&](const std::string& Card, const std::string& Button) {
            const TJson answer = browser.Send("Runtime.evaluate",
                                              {{"expression", Click(Card, Button)},
                                               {"awaitPromise", true},
                                               {"returnByValue", true}},
                                              session);
            return answer.value("/result/result/value"_json_pointer, std::string());
        };
        EXPECT_EQ(click("till1", "sale"), "Пробный чек напечатан, документ 129.");
        EXPECT_EQ(tape1.Count("Пробный товар\n"), 1u) << tape1.Text();
        EXPECT_EQ(tape1.Count("СДАЧА                             =25.00\n"), 1u) << tape1.Text();
        EXPECT_EQ(click("till1", "x"), "Готово: 1");
        EXPECT_EQ(tape1.Count("ПРОДАЖИ                    1      =25.00\n"), 1u) << tape1.Text();

        // The printer fails at the close: the page cancels the receipt, and
        // the next one prints.
        Emulator(1).SetNotices(1, 0x0A, "K");
        EXPECT_EQ(click("till2", "sale"),
                  "Пробный чек не напечатан: Ошибка ККМ:\r\nоперация прервана пользователем (10)\n"
                  "Документ аннулирован.");
        EXPECT_EQ(tape2.Text(), "");
        EXPECT_EQ(click("till2", "sale"), "Пробный чек напечатан, документ 129.");
        EXPECT_EQ(tape2.Count("Пробный товар\n"), 1u) << tape2.Text();
        EXPECT_EQ(tape2.Count("ИТОГ                              =25.00\n"), 1u) << tape2.Text();
    }
    std::filesystem::remove_all(profile);
}

}  // namespace
}  // namespace kest::hub::test
