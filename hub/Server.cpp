#include "Server.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "Register.h"  // DumpJson
#include "Sockets.h"

namespace kest::hub {

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A client has this long from connecting, or from its previous answer, to
// send a whole request head; waiting, it holds no thread.
constexpr std::chrono::milliseconds HeadTime = 3s;
constexpr std::size_t MaxHeadBytes = 64 * 1024;
constexpr std::size_t MaxHeaderLines = 100;
constexpr std::size_t MaxChunkLine = 1024;
// Sockets beyond this wait in the listening queue until others close.
constexpr int MaxConnections = 512;
// After a last answer the client's input is read and dropped this long before
// the socket is closed: closed with input unread, it would reset the
// connection, and the client might lose the answer.
constexpr std::chrono::milliseconds LingerTime = 1s;
constexpr std::size_t ReadBlock = 16 * 1024;

// Waits until Fd is ready for Events; false at the deadline, when StopFd
// (unless INVALID_SOCKET) is readable, or when poll fails.
bool WaitFor(socket_t Fd, short Events, TClock::time_point Deadline, socket_t StopFd) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now());
        if (left.count() <= 0) return false;
        std::array<pollfd, 2> fds{{{Fd, Events, 0}, {StopFd, POLLIN, 0}}};
        const int ready = net::Poll(fds.data(), fds.size(), static_cast<int>(left.count()));
        if (ready > 0) return !fds[1].revents && fds[0].revents;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Appends what one recv gives; its result.
ssize_t Receive(socket_t Fd, std::string& Into, std::size_t Most) {
    const std::size_t old = Into.size();
    Into.resize(old + Most);
    ssize_t n;
    do
        n = net::Receive(Fd, Into.data() + old, Most);
    while (n < 0 && errno == EINTR);
    Into.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    return n;
}

int HexDigit(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

bool SameName(std::string_view A, std::string_view B) {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
               return std::tolower(static_cast<unsigned char>(X)) ==
                      std::tolower(static_cast<unsigned char>(Y));
           });
}

std::string_view Trim(std::string_view Text) {
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t'))
        Text.remove_prefix(1);
    while (!Text.empty() && (Text.back() == ' ' || Text.back() == '\t'))
        Text.remove_suffix(1);
    return Text;
}

bool IsToken(std::string_view Name) {
    constexpr std::string_view marks = "!#$%&'*+-.^_`|~";
    return !Name.empty() && std::all_of(Name.begin(), Name.end(), [&](char C) {
        return std::isalnum(static_cast<unsigned char>(C)) || marks.find(C) != marks.npos;
    });
}

// An answer that ends the connection, for a request refused before the
// library sees it.
std::string Refusal(int Status, const char* Reason, const std::string& Text) {
    const std::string body = DumpJson({{"error", Text}});
    return "HTTP/1.1 " + std::to_string(Status) + " " + Reason +
           "\r\nContent-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\n"
           "Connection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

const char* StatusText(int Status) {
    switch (Status) {
        case 204:
            return "No Content";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        default:
            return "Refused";
    }
}

// The gate's answer, which ends the connection.
std::string Written(const httplib::Response& Res) {
    std::string text =
        "HTTP/1.1 " + std::to_string(Res.status) + " " + StatusText(Res.status) + "\r\n";
    for (const auto& [name, value] : Res.headers)
        if (!SameName(name, "Content-Length") && !SameName(name, "Connection"))
            text += name + ": " + value + "\r\n";
    if (Res.status != 204) text += "Content-Length: " + std::to_string(Res.body.size()) + "\r\n";
    return text + "Connection: close\r\n\r\n" + Res.body;
}

// A request head as the library is to see it: the length of the body is
// always Content-Length, whatever the client framed it with.
struct THead {
    std::string Text;  // request line and headers, without the framing headers and the blank line
    std::optional<std::uint64_t> Length;
    bool Chunked = false;
    bool Continue = false;  // the client waits for "100 Continue" before its body
    std::string Refused;    // an answer that refuses the request, when not empty
    httplib::Request Req;   // method, target and every header, for the gate
};

THead ReadHead(std::string_view Block) {
    THead head;
    const auto refuse = [&head](int Status, const char* Reason, const std::string& Text) {
        head.Refused = Refusal(Status, Reason, Text);
        return head;
    };
    // A lone CR or LF ends a line for one parser and not for another, and a
    // header hidden that way could frame the request anew.
    for (std::size_t i = 0; i < Block.size(); ++i) {
        const auto c = static_cast<unsigned char>(Block[i]);
        const bool lineEnd = (c == '\r' && i + 1 < Block.size() && Block[i + 1] == '\n') ||
                             (c == '\n' && i > 0 && Block[i - 1] == '\r');
        if ((c < ' ' && c != '\t' && !lineEnd) || c == 0x7f)
            return refuse(400, "Bad Request",
                          "a control character, or a lone CR or LF, in the request head");
    }
    int lengths = 0, codings = 0, keys = 0;
    std::string_view rest = Block.substr(0, Block.size() - 2);  // up to the blank line
    for (bool first = true; !rest.empty(); first = false) {
        const std::size_t end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 2);
        if (first) {
            head.Text.append(line).append("\r\n");
            const std::size_t space = line.find(' ');
            const std::string_view target =
                space == line.npos ? ""
                                   : line.substr(space + 1, line.find(' ', space + 1) - space - 1);
            head.Req.method = line.substr(0, space);
            head.Req.target = target;
            head.Req.path = target.substr(0, target.find('?'));
            continue;
        }
        const std::size_t colon = line.find(':');
        const std::string_view name = line.substr(0, colon);
        if (colon == line.npos || !IsToken(name))
            return refuse(400, "Bad Request", "a malformed header line in the request head");
        const std::string_view value = Trim(line.substr(colon + 1));
        head.Req.headers.emplace(name, value);
        if (SameName(name, "Content-Length")) {
            ++lengths;
            if (value.empty() || !std::all_of(value.begin(), value.end(),
                                              [](char C) { return C >= '0' && C <= '9'; }))
                return refuse(400, "Bad Request", "Content-Length is not a number");
            std::uint64_t length = 0;
            for (const char c : value)  // beyond 18 digits, too large anyway
                length = value.size() > 18 ? UINT64_MAX
                                           : length * 10 + static_cast<std::uint64_t>(c - '0');
            head.Length = length;
        } else if (SameName(name, "Transfer-Encoding")) {
            ++codings;
            if (!SameName(value, "chunked"))
                return refuse(501, "Not Implemented",
                              "Transfer-Encoding other than chunked is not supported");
            head.Chunked = true;
        } else if (SameName(name, "Idempotency-Key") && (value.empty() || ++keys > 1)) {
            // The library drops a header without a value and keeps the first
            // of two: the call would run as one without its key, or another's.
            return refuse(400, "Bad Request", "Idempotency-Key empty or given twice");
        } else if (SameName(name, "Expect") && SameName(value, "100-continue")) {
            head.Continue = true;
        } else {
            // The library would inflate a compressed body without a bound.
            if (SameName(name, "Content-Encoding") && !SameName(value, "identity"))
                return refuse(415, "Unsupported Media Type",
                              "Content-Encoding other than identity is not supported");
            head.Text.append(line).append("\r\n");
        }
    }
    if (lengths + codings > 1)
        return refuse(400, "Bad Request",
                      "ambiguous request length: Content-Length or Transfer-Encoding given twice, "
                      "or both");
    return head;
}

// The request as read, for the library: reads serve it, writes go to the
// client, each waiting at most the write time-out.
class TRequestStream : public httplib::Stream {
public:
    TRequestStream(std::string Request, socket_t Fd, std::chrono::milliseconds WriteTimeout)
        : FRequest(std::move(Request)), FFd(Fd), FWriteTimeout(WriteTimeout) {}

    bool is_readable() const override { return FRead < FRequest.size(); }
    bool is_writable() const override {
        // Not cut short by a stop: the answer of a call that ran, an aborted
        // one too, still reaches its client within the write time-out.
        return WaitFor(FFd, POLLOUT, TClock::now() + FWriteTimeout, INVALID_SOCKET);
    }
    ssize_t read(char* Ptr, size_t Size) override {
        const std::size_t n = std::min(Size, FRequest.size() - FRead);
        std::copy_n(FRequest.data() + FRead, n, Ptr);
        FRead += n;
        return static_cast<ssize_t>(n);
    }
    // All of it or a failure: the library does not always write the rest.
    ssize_t write(const char* Ptr, size_t Size) override {
        for (std::size_t sent = 0; sent < Size;) {
            if (!is_writable()) return -1;
            const ssize_t n = net::Send(FFd, Ptr + sent, Size - sent);
            if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            sent += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        }
        return static_cast<ssize_t>(Size);
    }
    void get_remote_ip_and_port(std::string& Ip, int& Port) const override {
        Address(::getpeername, Ip, Port);
    }
    void get_local_ip_and_port(std::string& Ip, int& Port) const override {
        Address(::getsockname, Ip, Port);
    }
    socket_t socket() const override { return FFd; }

private:
    template <class TGetName>
    void Address(TGetName Get, std::string& Ip, int& Port) const {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        if (Get(FFd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return;
        char host[INET6_ADDRSTRLEN] = {};
        if (address.ss_family == AF_INET6) {
            const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
            ::inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
            Port = ntohs(a.sin6_port);
        } else {
            const auto& a = reinterpret_cast<const sockaddr_in&>(address);
            ::inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
            Port = ntohs(a.sin_port);
        }
        Ip = host;
    }

    const std::string FRequest;
    std::size_t FRead = 0;
    const socket_t FFd;
    const std::chrono::milliseconds FWriteTimeout;
};

}  // namespace

struct TServer::TConn {
    TConn(socket_t Socket, std::atomic<int>& Count) : Fd(Socket), Open(Count) { ++Open; }
    ~TConn() {
        net::Close(Fd);
        --Open;
    }
    TConn(const TConn&) = delete;
    TConn& operator=(const TConn&) = delete;

    // A new request begins: its head is looked for from here.
    void Restart(TClock::time_point Now, std::chrono::milliseconds Time) {
        Since = Now;
        Deadline = Now + Time;
        Scanned = Lines = 0;
    }
    // The request head is whole (true), too large (Refused set) or not yet.
    bool HeadDone() {
        if (Scanned == 0) {  // empty lines before a request are allowed
            std::size_t skip = 0;
            while (In.compare(skip, 2, "\r\n") == 0)
                skip += 2;
            In.erase(0, skip);
        }
        const std::size_t end = In.find("\r\n\r\n", Scanned >= 3 ? Scanned - 3 : 0);
        const std::size_t upTo = end == In.npos ? In.size() : end + 4;
        Lines +=
            static_cast<std::size_t>(std::count(In.begin() + Scanned, In.begin() + upTo, '\n'));
        Scanned = upTo;
        // The request line and the blank line are not headers.
        if (upTo > MaxHeadBytes || Lines > MaxHeaderLines + 2 ||
            (end == In.npos && In.size() >= MaxHeadBytes)) {
            Refused =
                Refusal(431, "Request Header Fields Too Large",
                        "request head larger than " + std::to_string(MaxHeadBytes) +
                            " bytes or over " + std::to_string(MaxHeaderLines) + " header lines");
            return false;
        }
        return end != In.npos;
    }

    const socket_t Fd;
    std::atomic<int>& Open;
    std::string In;                      // received, not yet taken by a request
    std::size_t Scanned = 0, Lines = 0;  // of In, searched for the end of the head
    std::size_t Requests = 0;
    TClock::time_point Since;     // connected, or answered last
    TClock::time_point Deadline;  // for the poller: the head's, or the lingering's end
    TClock::time_point Ready;     // the head whole
    std::string Refused;
    bool Lingering = false;
};

TServer::TServer(std::chrono::milliseconds RequestTime, int Workers)
    : FRequestTime(RequestTime), FHeadTime(std::min(HeadTime, RequestTime)), FWorkers(Workers) {
    FStopFd = net::OpenWakeup();
    try {
        FWakeFd = net::OpenWakeup();
    } catch (...) {
        net::Close(FStopFd);
        throw;
    }
    // What the answers announce; an idle client is closed after the head time.
    set_keep_alive_timeout(std::max<time_t>(1, FHeadTime / 1s));
}

TServer::~TServer() {
    Stop();
    if (FListen != INVALID_SOCKET) net::Close(FListen);
    net::Close(FStopFd);
    net::Close(FWakeFd);
}

void TServer::Listen() {
    FListen = svr_sock_;
    net::ListenWide(FListen);
}

void TServer::Stop() {
    {
        std::lock_guard lock(FLock);
        FStopping = true;
    }
    FWork.notify_all();
    svr_sock_ = INVALID_SOCKET;  // ends the library's event streams
    Wake(FStopFd);
}

void TServer::Wake(socket_t Fd) {
    net::SetWakeup(Fd);
}

void TServer::Serve() {
    std::vector<std::thread> workers;
    for (int i = 0; i < FWorkers; ++i)
        workers.emplace_back([this] { Work(); });
    std::exception_ptr failure;
    try {
        Poll();
    } catch (...) {
        failure = std::current_exception();
    }
    Stop();
    for (auto& worker : workers)
        worker.join();
    std::lock_guard lock(FLock);
    FReady.clear();
    FBack.clear();
    if (failure) std::rethrow_exception(failure);
}

void TServer::Poll() {
    std::vector<std::unique_ptr<TConn>> conns;
    std::vector<pollfd> fds;
    auto acceptFrom = TClock::now();  // after running out of descriptors, a pause
    const auto dispatch = [this](std::unique_ptr<TConn> Conn) {
        Conn->Ready = TClock::now();
        {
            std::lock_guard lock(FLock);
            FReady.push_back(std::move(Conn));
        }
        FWork.notify_one();
    };
    const auto linger = [](TConn& Conn, TClock::time_point Now) {
        if (!Conn.Refused.empty()) net::Send(Conn.Fd, Conn.Refused.data(), Conn.Refused.size());
        net::ShutdownSend(Conn.Fd);
        Conn.In.clear();
        Conn.Lingering = true;
        Conn.Deadline = Now + LingerTime;
    };
    // New input of a connection; false when it is done with.
    const auto take = [&](std::unique_ptr<TConn>& Conn, TClock::time_point Now) {
        if (Conn->Lingering) {
            Conn->In.clear();
            const ssize_t n = Receive(Conn->Fd, Conn->In, 4 * ReadBlock);
            return n > 0 || (n < 0 && errno == EAGAIN);
        }
        const ssize_t n = Receive(Conn->Fd, Conn->In, ReadBlock);
        if (n == 0 || (n < 0 && errno != EAGAIN)) return false;
        if (Conn->HeadDone()) {
            dispatch(std::move(Conn));
            return false;
        }
        if (!Conn->Refused.empty()) linger(*Conn, Now);
        return true;
    };

    while (!FStopping) {
        auto now = TClock::now();
        std::erase_if(conns, [now](const auto& Conn) { return !Conn || now >= Conn->Deadline; });
        auto next = now + 1h;
        for (const auto& conn : conns)
            next = std::min(next, conn->Deadline);
        const bool accepting = FOpen < MaxConnections && now >= acceptFrom;
        if (!accepting && now < acceptFrom) next = std::min(next, acceptFrom);
        fds.assign({{FStopFd, POLLIN, 0},
                    {FWakeFd, POLLIN, 0},
                    {accepting ? FListen : INVALID_SOCKET, POLLIN, 0}});
        for (const auto& conn : conns)
            fds.push_back({conn->Fd, POLLIN, 0});
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
        if (net::Poll(fds.data(), fds.size(),
                      static_cast<int>(std::max<int64_t>(wait.count(), 0))) < 0) {
            if (errno == EINTR) continue;
            throw net::SocketError("poll");
        }
        if (fds[0].revents) break;
        now = TClock::now();
        for (std::size_t i = 0; i < conns.size(); ++i)
            if (fds[3 + i].revents && !take(conns[i], now)) conns[i].reset();
        if (fds[1].revents) {
            net::ClearWakeup(FWakeFd);
            std::vector<std::unique_ptr<TConn>> back;
            {
                std::lock_guard lock(FLock);
                back.swap(FBack);
            }
            for (auto& conn : back) {
                if (conn->Lingering) {
                    linger(*conn, now);
                } else {
                    conn->Restart(now, FHeadTime);
                    // A request sent right behind the last may be whole already.
                    if (conn->HeadDone()) {
                        dispatch(std::move(conn));
                        continue;
                    }
                    if (!conn->Refused.empty()) linger(*conn, now);
                }
                conns.push_back(std::move(conn));
            }
        }
        while (fds[2].revents && FOpen < MaxConnections) {
            const socket_t fd = net::Accept(FListen);
            if (fd == INVALID_SOCKET) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    acceptFrom = now + 100ms;
                else if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                    continue;
                else if (errno != EAGAIN && errno != EWOULDBLOCK)
                    throw net::SocketError("accept");
                break;
            }
            // Heads and bodies of answers leave in separate writes: without
            // this, each answer would wait for the client's delayed ACK.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                         sizeof on);
            conns.push_back(std::make_unique<TConn>(fd, FOpen));
            conns.back()->Restart(now, FHeadTime);
        }
    }
}

void TServer::Work() {
    for (;;) {
        std::unique_ptr<TConn> conn;
        {
            std::unique_lock lock(FLock);
            FWork.wait(lock, [this] { return FStopping || !FReady.empty(); });
            if (FStopping) return;
            conn = std::move(FReady.front());
            FReady.pop_front();
        }
        const TNext next = Answer(*conn);
        if (next == TNext::Close) {
            conn.reset();  // the poller may accept again
        } else {
            conn->Lingering = next == TNext::Linger;
            std::lock_guard lock(FLock);
            if (FStopping) return;
            FBack.push_back(std::move(conn));
        }
        Wake(FWakeFd);
    }
}

TServer::TNext TServer::Answer(TConn& Conn) {
    ++Conn.Requests;
    // The time spent waiting for a worker is not the client's.
    const auto deadline = Conn.Since + FRequestTime + (TClock::now() - Conn.Ready);
    const auto writeTimeout = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::seconds(write_timeout_sec_) + std::chrono::microseconds(write_timeout_usec_));
    const std::size_t headEnd = Conn.In.find("\r\n\r\n") + 4;
    THead head = ReadHead(std::string_view(Conn.In).substr(0, headEnd));
    const auto refuse = [&](const std::string& Text) {
        TRequestStream(std::string(), Conn.Fd, writeTimeout).write(Text.data(), Text.size());
        return TNext::Linger;
    };
    if (!head.Refused.empty()) return refuse(head.Refused);
    // A body is read only once the gate has let its request in: a client
    // refused from its head (no token) holds no worker while it sends one.
    if (FGate && (head.Chunked || head.Length.value_or(0) > 0)) {
        httplib::Response res;
        if (FGate(head.Req, res)) return refuse(Written(res));
    }

    // The body, read whole before the library sees the request.
    std::size_t at = headEnd;
    const auto fill = [&](std::size_t Bytes) {  // at least Bytes from `at` on
        while (Conn.In.size() < at + Bytes) {
            if (!WaitFor(Conn.Fd, POLLIN, deadline, FStopFd)) return false;
            const ssize_t n = Receive(
                Conn.Fd, Conn.In,
                std::clamp<std::size_t>(at + Bytes - Conn.In.size(), ReadBlock, 16 * ReadBlock));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        }
        return true;
    };
    enum { Whole, TooLarge, Lost, Malformed } body = Whole;
    std::string content;
    if (head.Continue && (head.Chunked || (head.Length && *head.Length <= payload_max_length_ &&
                                           Conn.In.size() - at < *head.Length))) {
        constexpr std::string_view goOn = "HTTP/1.1 100 Continue\r\n\r\n";
        TRequestStream(std::string(), Conn.Fd, writeTimeout).write(goOn.data(), goOn.size());
    }
    if (head.Length) {
        if (*head.Length > payload_max_length_)
            body = TooLarge;
        else if (!fill(*head.Length))
            body = Lost;
        else
            content = Conn.In.substr(at, *head.Length), at += *head.Length;
    } else if (head.Chunked) {
        // A line: "\r\n"-ended, within MaxChunkLine; nullopt when it is not.
        const auto line = [&]() -> std::optional<std::string_view> {
            for (std::size_t from = at;;) {
                const std::size_t end = Conn.In.find("\r\n", from);
                if (end != Conn.In.npos && end - at <= MaxChunkLine) {
                    const std::string_view text = std::string_view(Conn.In).substr(at, end - at);
                    at = end + 2;
                    return text;
                }
                if (Conn.In.size() - at > MaxChunkLine) {
                    body = Malformed;
                    return std::nullopt;
                }
                from = std::max(Conn.In.size(), at + 1) - 1;
                if (!fill(Conn.In.size() - at + 1)) {
                    body = Lost;
                    return std::nullopt;
                }
            }
        };
        for (;;) {
            const auto size = line();
            if (!size) break;
            // The size in hex, then perhaps extensions, which are ignored.
            std::uint64_t bytes = 0;
            std::size_t digits = 0;
            for (int digit; digits < size->size() && (digit = HexDigit((*size)[digits])) >= 0;
                 ++digits)
                bytes = bytes * 16 + static_cast<std::uint64_t>(digit);
            const std::string_view after = Trim(size->substr(digits));
            if (digits == 0 || digits > 8 || !(after.empty() || after.front() == ';')) {
                body = Malformed;
                break;
            }
            if (bytes == 0) {  // trailers, ignored, up to a blank line
                std::size_t trailers = 0;
                for (auto trailer = line(); trailer && !trailer->empty(); trailer = line())
                    if ((trailers += trailer->size()) > MaxHeadBytes) {
                        body = Malformed;
                        break;
                    }
                break;
            }
            // Decided while reading: the body is never kept beyond the limit.
            if (content.size() + bytes > payload_max_length_) {
                body = TooLarge;
                break;
            }
            if (!fill(bytes + 2)) {
                body = Lost;
                break;
            }
            if (Conn.In.compare(at + bytes, 2, "\r\n") != 0) {
                body = Malformed;
                break;
            }
            content.append(Conn.In, at, bytes);
            at += bytes + 2;
            // Compacts what was taken, so that many small chunks cost no
            // more than a few large ones.
            if (at > 4 * ReadBlock) {
                Conn.In.erase(0, at);
                at = 0;
            }
        }
    }
    if (body == Lost) return TNext::Close;
    if (body == Malformed) return refuse(Refusal(400, "Bad Request", "a malformed chunked body"));

    // Too large, the library answers 413 from the length alone, after the
    // origin and token checks.
    std::string request = std::move(head.Text);
    request += "Content-Length: " +
               std::to_string(body == TooLarge ? payload_max_length_ + 1 : content.size()) +
               "\r\n\r\n";
    request += content;
    if (body == Whole) Conn.In.erase(0, at);
    const bool last = body == TooLarge || Conn.Requests >= keep_alive_max_count_ || FStopping;
    TRequestStream stream(std::move(request), Conn.Fd, writeTimeout);
    bool closed = false;
    const bool answered = process_request(stream, last, closed, nullptr);
    if (body == TooLarge) return TNext::Linger;
    return answered && !closed && !last ? TNext::Keep : TNext::Close;
}

}  // namespace kest::hub
