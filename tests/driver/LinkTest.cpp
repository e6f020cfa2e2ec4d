// The driver against the register emulator over a real pseudo-terminal: the
// two agree on identification, the password, the baud rate and every device
// service; a lost answer and two threads are recovered from; addresses that
// lead nowhere are refused.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <thread>

#include "LinkDriver.h"

namespace kest::test::link {

using namespace std::chrono_literals;
using namespace std::string_literals;
using kest::emu::TConfig;
using kest::emu::TEmulator;
using kest::emu::TFault;
using TCall = void (*)(TKestorFPrt&);

TEST(Link, IdentifiesEveryModel) {
    struct TCase {
        TKestEcrModel Model;
        const char* Firmware;
        int Version, SubVersion, Generation;
        bool EKLZ;
        std::u16string_view Name;
    };
    // clang-format off
    const TCase cases[] = {
        {mem207_1F, "1.0 VLS B1.2", 0x0300, 0x0102, 3, false, u"КЕСТОР-207.1Ф"},
        {mem207_1F, "1.0 VLS", 0x0300, 0, 3, false, u"КЕСТОР-207.1Ф"},
        {mem207_1F, "1.05", 0x0100, 0, 1, false, u"КЕСТОР-207.1Ф"},
        {memStationF, "2.0", 0x0200, 0, 6, false, u"КЕСТОР-СТАНЦИЯ-Ф"},
        {memPCK, "1.0 PCK", 0x0100, 0, 7, true, u"Кестор PC-K"},
        {mem207_1FMD, "1.0 MD B2.10", 0x0100, 0x020A, 3, false, u"KESTOR-207.1F"},
        {mem207_1K, "1.0", 0x0100, 0, 8, true, u"КЕСТОР-207.1К"},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Firmware);
        TEmulator emu(Register(c.Model, c.Firmware));
        TLinkDriver drv(emu.DevicePath());
        int statusEvents = 0;
        drv.OnStatusUpdate = [&](TKestorFPrt&) { ++statusEvents; };
        ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
        EXPECT_EQ(std::tuple(drv.Active(), drv.ConnState(), drv.EcrModel(), drv.Generation(),
                             drv.GetDocStatus(), drv.Protocol()),
                  std::tuple(true, mcsIdle, c.Model, c.Generation, mdsClosed, mprBS));
        EXPECT_EQ(std::tuple(drv.EcrVersion(), drv.EcrSubVersion(), drv.EKLZSupported(),
                             drv.ModelName(), drv.FirmwareVersion(), drv.SerialNumber()),
                  std::tuple(c.Version, c.SubVersion, c.EKLZ, c.Name, kest::FromUtf8(c.Firmware),
                             u"0000001"));
        EXPECT_GE(statusEvents, 1);
        drv.Close();
        EXPECT_EQ(std::tuple(drv.EcrModel(), drv.Generation(), drv.DaysRemain()),
                  std::tuple(memUnknown, 0, -1));
        EXPECT_EQ(drv.ModelName(), c.Name);  // the identity stays readable
    }

    // Unknown registers are refused, and the port closed again at once.
    TConfig renamed = Register(mem207_1F);
    renamed.ModelName = u"КАССА-1";
    for (const TConfig& config : {Register(memPCK, "2.0"), renamed}) {
        TEmulator emu(config);
        TLinkDriver drv(emu.DevicePath());
        EXPECT_THROW(drv.Open(), EKestUnknownDevice);
        EXPECT_EQ(drv.ErrMessage(), u"ККМ не опознана");
        EXPECT_EQ(std::tuple(drv.Active(), drv.Connected(), drv.ConnState()),
                  std::tuple(false, false, mcsNone));
    }
}

TEST(Link, TestConnectionPasswordAndBaudRate) {
    TEmulator emu(Register(mem207_1F));
    TLinkDriver drv(emu.DevicePath());
    EXPECT_NO_THROW(drv.TestConnection());  // not connected: opens, identifies, closes
    EXPECT_EQ(std::tuple(drv.EcrModel(), drv.Connected(), drv.ConnState()),
              std::tuple(mem207_1F, false, mcsNone));
    drv.Open();
    drv.SetPassword(u"1234");
    EXPECT_EQ(emu.Password(), "1234");
    EXPECT_NO_THROW(drv.TestConnection());
    drv.SetBaudRate(115200);
    EXPECT_EQ(emu.BaudRate(), 115200);
    EXPECT_NO_THROW(drv.QueryFirmwareInfo());  // the line follows the register
    drv.Close();

    // A wrong password is the register's refusal, which still proves a link.
    TLinkDriver stranger(emu.DevicePath());
    stranger.SetBaudRate(115200);  // disconnected: only stored
    EXPECT_THROW(stranger.Open(), EKestEcrError);
    EXPECT_EQ(stranger.ErrCodeEx(), 18);
    EXPECT_NO_THROW(stranger.TestConnection());
    EXPECT_EQ(stranger.ErrCode(), 0);
}

TEST(Link, NoResponseIsAskedAboutAndCommandsRunOneAtATime) {
    TEmulator emu(Register(mem207_1K));
    TLinkDriver drv(emu.DevicePath(), 300);
    drv.Open();
    // ACKs without end are waited through for the external time-out (300 ms),
    // then the application is asked; keeping waiting buys another such time.
    int asked = 0;
    drv.OnNoResponse = [&](TKestorFPrt& d) { d.SetRetryOperation(++asked < 2); };
    emu.SetAcks(-1, 50ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(drv.QueryFirmwareInfo(), EKestNoResponse);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 600ms);
    EXPECT_LT(took, 3000ms);  // two waits, not more
    EXPECT_EQ(std::pair(asked, drv.ConnState()), std::pair(2, mcsIdle));
    drv.OnNoResponse = nullptr;
    emu.SetAcks(0);
    EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << kest::ToUtf8(drv.ErrMessage());

    auto worker = [&drv](int& Failures) {
        for (int i = 0; i < 20; ++i) {
            try {
                drv.QueryFirmwareInfo();
            } catch (const EKestError&) {
                ++Failures;
            }
        }
    };
    const size_t before = emu.Received().size();
    int failures[2] = {};
    std::thread a(worker, std::ref(failures[0])), b(worker, std::ref(failures[1]));
    a.join();
    b.join();
    EXPECT_EQ(failures[0] + failures[1], 0);
    EXPECT_EQ(drv.ErrCode(), 0);
    EXPECT_EQ(emu.Received().size(), before + 40);
}

// One register of each line behaviour: BS generation 1, generation 3, generation 8.
class LostAnswer : public testing::TestWithParam<TConfig> {};

TEST_P(LostAnswer, DriverFollowsThePasswordAndRateTheRegisterTook) {
    TEmulator emu(GetParam());
    TLinkDriver drv(emu.DevicePath(), 300);
    ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
    const std::u16string passwords[] = {u"1234", u"5862"};
    const int rates[] = {19200, 9600};
    int turn = 0;
    for (const TFault fault : {TFault::NoAnswer, TFault::CutShort, TFault::BadBcc, TFault::Garbage,
                               TFault::EtxInData, TFault::WrongEcho, TFault::WrongSeparator}) {
        SCOPED_TRACE(static_cast<int>(fault));
        const std::function<void()> calls[] = {[&] { drv.SetPassword(passwords[turn % 2]); },
                                               [&] { drv.SetBaudRate(rates[turn % 2]); }};
        for (const auto& call : calls) {
            emu.InjectFault(fault, 1);
            EXPECT_THROW(call(), EKestError);
            EXPECT_TRUE(drv.ErrCode() == 3 || drv.ErrCode() == 15) << drv.ErrCode();
            EXPECT_EQ(std::pair(kest::ToUtf8(drv.Password()), drv.BaudRate()),
                      std::pair(emu.Password(), emu.BaudRate()));
            EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << kest::ToUtf8(drv.ErrMessage());
        }
        ++turn;
    }
}

INSTANTIATE_TEST_SUITE_P(Generations, LostAnswer,
                         testing::Values(Register(mem207_1F, "1.0"), Register(mem207_1F),
                                         Register(mem207_1K)),
                         [](const auto& Info) {
                             return "Generation" + std::to_string(kest::emu::GenerationOf(
                                                       Info.param.Model, Info.param.Firmware));
                         });

TEST(Link, RestOfABadAnswerIsNotTakenForTheNext) {
    // At 9600 baud an answer takes over 100 ms to arrive; the driver gives up
    // at its first bad byte while the rest is still on its way.
    TConfig config = Register(mem207_1F);
    config.Paced = true;
    TEmulator emu(config);
    TLinkDriver drv(emu.DevicePath(), 1000);  // a bound for a busy machine
    drv.Open();
    for (const TFault fault : {TFault::Garbage, TFault::EtxInData}) {
        SCOPED_TRACE(static_cast<int>(fault));
        emu.InjectFault(fault, 1);
        EXPECT_THROW(drv.QueryFirmwareInfo(), EKestBadResponse);
        for (int i = 0; i < 3; ++i)
            EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << kest::ToUtf8(drv.ErrMessage());
    }
}

// -- The device services on every generation

// The driver writes any setting on generations 3, 7 and 8; a register refuses
// (21, out of range) the settings it does not have, those it cannot report.
bool RegisterLacksSetting(std::string_view Call, int Generation) {
    for (std::string_view op : {"SetDisplayTimeout", "SetPrinterContrast", "SetLeading",
                                "SetHeaderAlignment", "SetAutocut", "SetEconomicMode"})
        if (Call.starts_with(op)) return Generation == 8;
    return Call.starts_with("SetFullJournal") && Generation != 8;
}

// Every public operation of the services, with arguments the register takes.
// clang-format off
#define KEST_OP(Call) {#Call, [](TKestorFPrt& D) { D.Call; }}
const std::pair<const char*, TCall> Operations[] = {
    KEST_OP(QueryPrinterTimeout()), KEST_OP(QueryDisplayTimeout()), KEST_OP(QueryPrinterContrast()),
    KEST_OP(QueryLeading()), KEST_OP(QueryOperNumber()), KEST_OP(QueryHeaderAlignment()),
    KEST_OP(QueryAutocut()), KEST_OP(QueryEconomicMode()), KEST_OP(QueryPaperJournal()),
    KEST_OP(QueryFullJournal()), KEST_OP(SetPrinterTimeout(45)), KEST_OP(SetDisplayTimeout(20)),
    KEST_OP(SetPrinterContrast(7)), KEST_OP(SetLeading(255)), KEST_OP(SetCutterDisabled(true)),
    KEST_OP(SetNarrowPaper(false)), KEST_OP(SetHeaderAlignment(true)), KEST_OP(SetAutocut(true)),
    KEST_OP(SetEconomicMode(false)), KEST_OP(SetPaperJournal(true)), KEST_OP(SetFullJournal(true)),
    KEST_OP(SetParameters(mprBS, 30)), KEST_OP(SetProtocol(mprBS)), KEST_OP(QueryFirmwareInfo()),
    KEST_OP(QueryDevExStatus()), KEST_OP(QueryTax(4)), KEST_OP(QueryCounter(5)),
    KEST_OP(QueryCounter(12, true)), KEST_OP(QueryResourceInfo()), KEST_OP(QueryLastDocInfo()),
    KEST_OP(QuerySerialNumber()), KEST_OP(QueryTaxPayerNumber()), KEST_OP(QueryRegNumber()),
    KEST_OP(QueryEcrDateTime()), KEST_OP(QueryHeaderLine(4)), KEST_OP(QueryTitle(7)),
    KEST_OP(QueryDepartName(99)), KEST_OP(QueryOperName(0)), KEST_OP(SetHeader(u"А", u"Б", u"В", u"Г")),
    KEST_OP(SetTitle(7, u"СЧЁТ")), KEST_OP(SetDepartName(99, u"Отдел")), KEST_OP(SetTax(4, u"НСП", 500)),
    KEST_OP(SetSerialNumber(u"0000001")), KEST_OP(SynchronizeEcrDateTime()),
    KEST_OP(FiscalRewrite(u"00001", u"REG00001", u"INN000000001", u"1")),
    KEST_OP(EnableGraphicHeader(1, 1, u"5A")), KEST_OP(DisableGraphicHeader()),
    KEST_OP(EKLZQueryStatus()), KEST_OP(EKLZActivate()), KEST_OP(EKLZActivationReport()),
    KEST_OP(EKLZDayReport(1)), KEST_OP(EKLZReportByNum(true, 1, 1)),
    KEST_OP(EKLZReportByDate(false, 45000, std::floor(kest::Now()))), KEST_OP(EKLZDocByNum(1)),
    KEST_OP(EKLZControlByNum(1)), KEST_OP(EKLZCloseArchive()),
};
#undef KEST_OP
// clang-format on

// Every generation, and the Moldavian register with its short last-document answer.
class Services : public testing::TestWithParam<TConfig> {};

TEST_P(Services, EveryOperationIsRefusedByTheDriverOrAnsweredByTheRegister) {
    TEmulator emu(GetParam());
    TLinkDriver drv(emu.DevicePath(), 300, 600);
    ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
    const int generation = drv.Generation();
    ASSERT_EQ(generation, kest::emu::GenerationOf(GetParam().Model, GetParam().Firmware));
    int supported = 0;
    for (const auto& [name, call] : Operations) {
        const size_t frames = emu.Received().size();
        try {
            call(drv);
            ++supported;
        } catch (const EKestUnsupported&) {
            EXPECT_EQ(emu.Received().size(), frames) << name << " refused after sending";
        } catch (const EKestEcrError& e) {
            EXPECT_TRUE(e.ErrCodeEx() == 21 && RegisterLacksSetting(name, generation))
                << name << ": " << e.what();
        } catch (const EKestError& e) {
            ADD_FAILURE() << name << ": " << e.what();
        }
    }
    EXPECT_GE(supported, 10);

    // The driver holds no other view of the register than what it answers.
    if (generation >= 3) {
        drv.SetTax(2, u"НДС 20%", 2000);
        EXPECT_EQ(drv.QueryTax(2), 2000);
        EXPECT_EQ(drv.TaxName(), u"НДС 20%");
        drv.SetSerialNumber(u"7654321");
        EXPECT_EQ(drv.QuerySerialNumber(), u"7654321");
    }
    if (generation >= 2) {
        drv.SetTitle(999, u"ЗАКАЗ");
        EXPECT_EQ(drv.QueryTitle(999), u"ЗАКАЗ");
    }
    if (generation == 3 || generation == 7) {
        drv.SetParameters(mprXOnXoff, 90);
        EXPECT_EQ(std::pair(drv.Protocol(), drv.QueryPrinterTimeout()), std::pair(mprXOnXoff, 90));
    }
    if (drv.EKLZSupported()) {
        drv.EKLZQueryStatus();
        EXPECT_TRUE(drv.EKLZActivated());
    }
    drv.QueryLastDocInfo();
    EXPECT_NE(drv.LastDocNumber(), 0);
    EXPECT_EQ(drv.DocNumber(), drv.LastDocNumber());
    EXPECT_LT(std::abs(drv.QueryEcrDateTime() - kest::Now()), 2.0 / 24 / 60);

    // A 207.1K asks its extended status while it waits for its printer.
    if (generation != 8) return;
    emu.SetExtendedStatus({0x04, 0x40, 0, 0, 0x04});
    emu.SetNotices(1);
    int devStatus = 0;
    drv.OnPrinterError = [&](TKestorFPrt& D) { D.QueryDevExStatus(), devStatus = D.DevStatus(); };
    EXPECT_THROW(drv.QueryFirmwareInfo(), EKestEcrError);  // cancelled after the question
    EXPECT_EQ(devStatus & (1 << 30 | 1 << 5 | 1), 1 << 30 | 1 << 5 | 1);
    EXPECT_NO_THROW(drv.QueryFirmwareInfo());
}

INSTANTIATE_TEST_SUITE_P(Models, Services,
                         testing::Values(Register(mem207_1F, "1.0"), Register(mem207_1F, "2.0"),
                                         Register(mem207_1F, "1.0 VLS B2.5"),
                                         Register(mem207_1F, "6.0"), Register(memPCK, "1.0 PCK"),
                                         Register(mem207_1K, "1.0"),
                                         Register(mem207_1FMD, "1.0 MD B3.0")),
                         [](const auto& Info) {
                             return "Generation" +
                                    std::to_string(kest::emu::GenerationOf(Info.param.Model,
                                                                           Info.param.Firmware)) +
                                    (Info.param.Model == mem207_1FMD ? "Moldavian" : "");
                         });

TEST(TcpLine, AddressesThatLeadNowhere) {
    // clang-format off
    const std::pair<std::string, int> cases[] = {{"/dev/kestor-no-such-port", ENOENT},
        {"tcp://127.0.0.1", EINVAL}, {"tcp://:80", EINVAL}, {"tcp://[::1]80", EINVAL},
        {"tcp://127.0.0.1:99999", EINVAL},  // not port 34463
        {"tcp://127.0.0.1:0", EINVAL}, {"tcp://127.0.0.1:1", ECONNREFUSED}};
    // clang-format on
    for (const auto& [address, error] : cases) {
        TLinkDriver drv(address);
        EXPECT_THROW(drv.Open(), std::system_error) << address;
        EXPECT_EQ(std::pair(drv.ErrCode(), drv.ErrCodeEx()), std::pair(17, error)) << address;
        EXPECT_EQ(drv.ErrMessage().rfind(u"Ошибка операционной системы:\r\n", 0), 0u);
        EXPECT_FALSE(drv.Active());
    }
}

// ser2net, the device server Debian ships, serving Device raw on loopback Port.
struct TDeviceServer {
    explicit TDeviceServer(const std::string& Device) {
        std::ofstream(Config) << "connection: &kestor\n    accepter: tcp,127.0.0.1," << Port
                              << "\n    connector: serialdev," << Device << ",9600n81,local\n";
        Start();
    }
    ~TDeviceServer() { Stop(); }
    void Start() {
        const char* argv[] = {"ser2net", "-n", "-c", Config.c_str(), nullptr};
        posix_spawnp(&Pid, "ser2net", nullptr, nullptr, const_cast<char**>(argv), environ);
        for (int i = 0; i < 500 && !Listens(); ++i)
            std::this_thread::sleep_for(10ms);  // nothing tells when it listens
    }
    void Stop() { ::kill(Pid, SIGTERM), ::waitpid(Pid, nullptr, 0); }
    bool Listens() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET, addr.sin_port = htons(static_cast<uint16_t>(Port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return ok;
    }
    const int Port = [] {  // one the kernel hands out, so free
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        socklen_t size = sizeof addr;
        addr.sin_family = AF_INET;
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), size);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
        ::close(fd);
        return static_cast<int>(ntohs(addr.sin_port));
    }();
    const std::string Config = testing::TempDir() + "ser2net-" + std::to_string(Port) + ".yaml";
    pid_t Pid = -1;
};

TEST(TcpLine, ThroughADeviceServerAndAcrossItsRestart) {
    TEmulator emu(Register(mem207_1K));
    TDeviceServer server(emu.DevicePath());
    ASSERT_TRUE(server.Listens()) << "ser2net did not start (scripts/install-deps installs it)";
    TLinkDriver drv("tcp://127.0.0.1:" + std::to_string(server.Port), 300);
    ASSERT_NO_THROW(drv.Open()) << kest::ToUtf8(drv.ErrMessage());
    EXPECT_EQ(drv.EcrModel(), mem207_1K);
    // The server keeps its own rate: the register is not told to change.
    const size_t frames = emu.Received().size();
    EXPECT_THROW(drv.SetBaudRate(19200), EKestUnsupported);
    EXPECT_EQ(std::pair(emu.Received().size(), drv.BaudRate()), std::pair(frames, 9600));
    // A dropped connection fails the call that meets it; the next request
    // connects again once the server is back.
    server.Stop();
    EXPECT_THROW(drv.QueryFirmwareInfo(), std::system_error);
    EXPECT_TRUE(drv.ErrCodeEx() == ECONNRESET || drv.ErrCodeEx() == ECONNREFUSED)
        << drv.ErrCodeEx();
    server.Start();
    EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << kest::ToUtf8(drv.ErrMessage());
    // A restart between two requests goes unnoticed: the next one connects again.
    server.Stop();
    server.Start();
    EXPECT_NO_THROW(drv.QueryFirmwareInfo()) << kest::ToUtf8(drv.ErrMessage());
}

}  // namespace kest::test::link
