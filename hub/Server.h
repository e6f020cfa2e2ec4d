// The hub's connections: cpp-httplib parses and routes each request, but the
// connections are the hub's own. One thread polls every connection until it
// has sent a whole request head, so an idle or slow client costs a socket and
// no thread; a worker then reads the body, bounded and with its framing
// checked, and hands the request whole to the library.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kest::hub {

class TServer : public httplib::Server {
public:
    // RequestTime: how long a client may take to send a request, head and
    // body; Workers: how many requests are answered at once.
    TServer(std::chrono::milliseconds RequestTime, int Workers);
    ~TServer() override;

    // Sees the method, target and headers of each request that carries a
    // body, before a byte of the body is read; true when it has answered,
    // and the connection is then closed with the body unread. Set before Serve.
    using TGate = std::function<bool(const httplib::Request&, httplib::Response&)>;
    void SetGate(TGate Gate) { FGate = std::move(Gate); }

    // After bind_to_port or bind_to_any_port: listens with the system's
    // largest backlog; std::system_error.
    void Listen();
    // Serves until Stop; std::system_error when polling fails.
    void Serve();
    // From any thread, before or during Serve: Serve returns once the
    // requests being answered end, which blocked reads and writes do at once.
    void Stop();

private:
    struct TConn;
    enum class TNext { Keep, Close, Linger };

    void Poll();
    void Work();
    TNext Answer(TConn& Conn);
    void Wake(socket_t Fd);

    const std::chrono::milliseconds FRequestTime;
    const std::chrono::milliseconds FHeadTime;
    const int FWorkers;
    TGate FGate;
    socket_t FListen = INVALID_SOCKET;
    socket_t FStopFd = INVALID_SOCKET;  // readable once Stop is called, and from then on
    socket_t FWakeFd = INVALID_SOCKET;  // a worker has handed a connection back to the poller
    std::atomic<int> FOpen = 0;
    std::mutex FLock;
    std::condition_variable FWork;
    std::atomic<bool> FStopping = false;        // set under FLock, for FWork
    std::deque<std::unique_ptr<TConn>> FReady;  // a whole head, waiting for a worker
    std::vector<std::unique_ptr<TConn>> FBack;  // from the workers, for the poller
};

}  // namespace kest::hub
