#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

const UINT_PTR kNoSocket = ~(UINT_PTR)0; // INVALID_SOCKET

// One request as the server read it off the wire.
struct RecordedRequest {
    int connection = 0;       // index of the connection it came on, from 0
    std::string request_line; // without the line end
    std::string method, target;
    std::vector<std::pair<std::string, std::string>> headers; // in the order sent
    // The value of the first header of that name (any case), or "" if absent.
    std::string Header(const std::string &name) const;
    bool HasHeader(const std::string &name) const;
};

// A player's line that every connection of a server divides: the bytes they
// send pass through it in turn, in slices, at one rate for them all.
struct SharedLine {
    std::atomic<DWORD> bytes_per_second{0}; // 0: no line, sends go out at once
    std::mutex mutex;
    double free_at_ms = 0; // when the slices reserved so far have passed; guarded by mutex
};

// The server side of one accepted connection, handed to the test's script.
struct HttpTestConnection {
    UINT_PTR socket; // a SOCKET
    const std::atomic<bool> *stopping;
    SharedLine *line;              // the server's line, paced only while it has a rate
    const std::atomic<int> *open;  // connections the server holds open, this one included
    // Sends all bytes; false when the peer has gone or the server stops.
    bool Send(const std::string &bytes);
    // Sends bytes in pieces of piece_size with pause_ms between them.
    bool Trickle(const std::string &bytes, size_t piece_size, DWORD pause_ms);
    // Waits up to ms, less if the server stops; false when it stopped.
    bool Pause(DWORD ms);
    // How many connections the server holds open now, this one included: a
    // script can answer as a server that caps connections at once.
    int OpenConnections() const { return *open; }
};

// A scripted HTTP/1.1 server on loopback, on a thread of its own and one
// thread per connection. The script answers each request and returns whether
// the connection stays open for another one. Every request and the first
// bytes of every connection are recorded. It stops when destroyed, and by
// itself after lifetime_ms at the latest.
class HttpTestServer {
public:
    using Script = std::function<bool(HttpTestConnection &, const RecordedRequest &)>;

    // port 0 lets the system pick a free one.
    explicit HttpTestServer(Script script, unsigned short port = 0, DWORD lifetime_ms = 60000);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer &) = delete;
    HttpTestServer &operator=(const HttpTestServer &) = delete;

    bool Listening() const { return listener_ != kNoSocket; }
    int ListenError() const { return listen_error_; } // WSA error when not listening
    unsigned short Port() const { return port_; }
    std::vector<RecordedRequest> Requests() const;
    int Connections() const; // accepted so far, open or closed
    std::string FirstBytes(int connection) const; // up to the first 64 KiB

    // A shared line: the bytes that all connections send (scripts' Send and
    // Trickle) go out together at bytes_per_second, a slice of about 20 ms
    // at a time in the order the connections ask, as a player's downlink
    // that every connection divides; one connection alone gets all of it,
    // eight get an eighth each. 0 (the default) sends as fast as the
    // sockets take the bytes. May be called at any time; slices already
    // reserved keep their place.
    void ShareLine(DWORD bytes_per_second);

    // A cap on connections at once, as a server that limits each address
    // (the way a web server's per-address connection limit counts): a
    // connection is busy from the moment a request's head has been read
    // until the script has answered it; idle kept-alive ones do not count.
    // A request read while more than most connections are busy (its own
    // included) is answered "503" with no body and Connection: close, with
    // "Retry-After: <retry_after_seconds>" unless that is negative, and the
    // connection is closed; the script never sees it (Requests() does).
    // 0 (the default) lifts the cap. May be called at any time.
    void RefuseBeyond(int most, int retry_after_seconds = -1);

    int OpenConnections() const { return open_; } // accepted and not yet closed
    int MostOpenAtOnce() const { return most_open_; }
    int MostBusyAtOnce() const { return most_busy_; } // 503s included
    int Refused() const { return refused_; }          // requests answered 503 by the cap

private:
    void AcceptLoop();
    void Serve(UINT_PTR socket, int connection);
    void ServeRequests(UINT_PTR socket, int connection);
    bool RefusedByCap(HttpTestConnection &peer, int busy);

    Script script_;
    UINT_PTR listener_ = kNoSocket;
    int listen_error_ = 0;
    unsigned short port_ = 0;
    DWORD deadline_ms_ = 0; // GetTickCount value at which it stops by itself
    std::atomic<bool> stopping_{false};
    SharedLine line_;
    std::atomic<int> open_{0};
    std::atomic<int> most_open_{0};
    std::atomic<int> busy_{0};
    std::atomic<int> most_busy_{0};
    std::atomic<int> cap_{0};
    std::atomic<int> cap_retry_after_{-1};
    std::atomic<int> refused_{0};
    mutable std::mutex mutex_; // guards the records and the threads
    std::vector<RecordedRequest> requests_;
    std::vector<std::string> first_bytes_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

// "HTTP/1.1 <status> <reason>" and the given header lines, with line ends and
// the blank line that ends the head.
std::string ResponseHead(int status, const std::vector<std::string> &headers);

// The body as one chunk per piece of piece_size, and the closing chunk.
std::string ChunkedBody(const std::string &body, size_t piece_size);

// A loopback port on which nothing listens, held by a bound socket so that
// no one else takes it while the object lives.
struct RefusingPort {
    RefusingPort();
    ~RefusingPort();
    UINT_PTR socket; // a SOCKET
    unsigned short port;
};
