// Winsock 2 must come before windows.h, which the header includes.
#include <winsock2.h>

#include "support/http_test_server.h"

#include <cstdio>

namespace {

const DWORD kPollMs = 50;               // how often blocked waits look at the stop flag
const DWORD kDrainMs = 2000;            // how long a closing connection waits for the peer
const size_t kMaxHeadBytes = 64 * 1024; // a longer head is not a request we script
const size_t kSendPieceBytes = 64 * 1024;
const double kLineSliceMs = 20;        // how much of a shared line one slice takes
const size_t kMinLineSliceBytes = 256; // so a very slow line is not paced byte by byte

bool WaitFor(SOCKET socket, bool for_write, DWORD ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval timeout = {(long)(ms / 1000), (long)((ms % 1000) * 1000)};
    int ready = for_write ? select(0, NULL, &set, NULL, &timeout)
                          : select(0, &set, NULL, NULL, &timeout);
    return ready > 0;
}

bool EqualsIgnoringCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

RecordedRequest ParseHead(const std::string &head, int connection)
{
    RecordedRequest request;
    request.connection = connection;
    size_t line_end = head.find("\r\n");
    request.request_line = head.substr(0, line_end);
    size_t space = request.request_line.find(' ');
    request.method = request.request_line.substr(0, space);
    if (space != std::string::npos) {
        size_t second = request.request_line.find(' ', space + 1);
        request.target = request.request_line.substr(space + 1, second - space - 1);
    }
    while (line_end != std::string::npos && line_end + 2 < head.size()) {
        size_t start = line_end + 2;
        line_end = head.find("\r\n", start);
        std::string line = head.substr(start, line_end - start);
        size_t colon = line.find(':');
        if (line.empty() || colon == std::string::npos)
            continue;
        size_t value = line.find_first_not_of(' ', colon + 1);
        request.headers.emplace_back(line.substr(0, colon),
                                     value == std::string::npos ? "" : line.substr(value));
    }
    return request;
}

// Half-closes, lets the peer read to the end and close, then closes.
void CloseGracefully(SOCKET socket, const std::atomic<bool> &stopping)
{
    shutdown(socket, SD_SEND);
    DWORD start = GetTickCount();
    char sink[4096];
    while (!stopping && GetTickCount() - start < kDrainMs) {
        if (!WaitFor(socket, false, kPollMs))
            continue;
        if (recv(socket, sink, sizeof(sink), 0) <= 0)
            break;
    }
    closesocket(socket);
}

double NowMs()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

size_t LineSliceBytes(DWORD bytes_per_second)
{
    size_t slice = (size_t)(bytes_per_second * kLineSliceMs / 1000.0);
    if (slice < kMinLineSliceBytes)
        slice = kMinLineSliceBytes;
    return slice > kSendPieceBytes ? kSendPieceBytes : slice;
}

// Takes the line's next free stretch for size bytes and waits until they
// have passed it; false when the server stops meanwhile. An idle line keeps
// no credit, so no connection ever bursts above the rate.
bool PassLine(SharedLine *line, DWORD bytes_per_second, size_t size,
              const std::atomic<bool> &stopping)
{
    double passed_at;
    {
        std::lock_guard<std::mutex> lock(line->mutex);
        double now = NowMs();
        double start = line->free_at_ms > now ? line->free_at_ms : now;
        line->free_at_ms = start + (double)size * 1000.0 / bytes_per_second;
        passed_at = line->free_at_ms;
    }
    for (;;) {
        if (stopping)
            return false;
        double left = passed_at - NowMs();
        if (left <= 0)
            return true;
        Sleep(left < kPollMs ? (DWORD)left + 1 : kPollMs);
    }
}

// Keeps the highest value seen of a count that several threads change.
void RaisePeak(std::atomic<int> *peak, int value)
{
    int seen = *peak;
    while (value > seen && !peak->compare_exchange_weak(seen, value)) {
    }
}

bool SendWhole(SOCKET socket, const char *bytes, size_t size, const std::atomic<bool> &stopping)
{
    size_t sent = 0;
    while (sent < size) {
        if (stopping)
            return false;
        if (!WaitFor(socket, true, kPollMs))
            continue;
        int n = send(socket, bytes + sent, (int)(size - sent), 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK)
                continue;
            return false;
        }
        sent += (size_t)n;
    }
    return true;
}

} // namespace

std::string RecordedRequest::Header(const std::string &name) const
{
    for (const auto &header : headers)
        if (EqualsIgnoringCase(header.first, name))
            return header.second;
    return "";
}

bool RecordedRequest::HasHeader(const std::string &name) const
{
    for (const auto &header : headers)
        if (EqualsIgnoringCase(header.first, name))
            return true;
    return false;
}

bool HttpTestConnection::Send(const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        DWORD rate = line->bytes_per_second;
        size_t piece = rate ? LineSliceBytes(rate) : kSendPieceBytes;
        if (piece > bytes.size() - sent)
            piece = bytes.size() - sent;
        if (rate && !PassLine(line, rate, piece, *stopping))
            return false;
        if (!SendWhole(socket, bytes.data() + sent, piece, *stopping))
            return false;
        sent += piece;
    }
    return true;
}

bool HttpTestConnection::Trickle(const std::string &bytes, size_t piece_size, DWORD pause_ms)
{
    for (size_t at = 0; at < bytes.size(); at += piece_size) {
        if (at > 0 && !Pause(pause_ms))
            return false;
        if (!Send(bytes.substr(at, piece_size)))
            return false;
    }
    return true;
}

bool HttpTestConnection::Pause(DWORD ms)
{
    DWORD start = GetTickCount();
    DWORD elapsed;
    while ((elapsed = GetTickCount() - start) < ms) {
        if (*stopping)
            return false;
        DWORD left = ms - elapsed;
        Sleep(left < kPollMs ? left : kPollMs);
    }
    return !*stopping;
}

HttpTestServer::HttpTestServer(Script script, unsigned short port, DWORD lifetime_ms)
    : script_(std::move(script))
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    deadline_ms_ = GetTickCount() + lifetime_ms;

    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int length = sizeof(address);
    if (listener == INVALID_SOCKET ||
        bind(listener, (sockaddr *)&address, sizeof(address)) == SOCKET_ERROR ||
        listen(listener, SOMAXCONN) == SOCKET_ERROR ||
        getsockname(listener, (sockaddr *)&address, &length) == SOCKET_ERROR) {
        listen_error_ = WSAGetLastError();
        if (listener != INVALID_SOCKET)
            closesocket(listener);
        return;
    }
    listener_ = listener;
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

HttpTestServer::~HttpTestServer()
{
    stopping_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        threads.swap(threads_);
    }
    for (auto &thread : threads)
        thread.join();
    if (listener_ != INVALID_SOCKET)
        closesocket(listener_);
    WSACleanup();
}

std::vector<RecordedRequest> HttpTestServer::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int HttpTestServer::Connections() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return (int)first_bytes_.size();
}

std::string HttpTestServer::FirstBytes(int connection) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < (int)first_bytes_.size() ? first_bytes_[connection] : "";
}

void HttpTestServer::ShareLine(DWORD bytes_per_second) { line_.bytes_per_second = bytes_per_second; }

void HttpTestServer::RefuseBeyond(int most, int retry_after_seconds)
{
    cap_retry_after_ = retry_after_seconds;
    cap_ = most;
}

void HttpTestServer::AcceptLoop()
{
    while (!stopping_) {
        if ((LONG)(GetTickCount() - deadline_ms_) >= 0) {
            stopping_ = true;
            break;
        }
        if (!WaitFor(listener_, false, kPollMs))
            continue;
        SOCKET accepted = accept(listener_, NULL, NULL);
        if (accepted == INVALID_SOCKET)
            continue;
        u_long non_blocking = 1;
        ioctlsocket(accepted, FIONBIO, &non_blocking);
        RaisePeak(&most_open_, ++open_);
        std::lock_guard<std::mutex> lock(mutex_);
        int connection = (int)first_bytes_.size();
        first_bytes_.emplace_back();
        threads_.emplace_back([this, accepted, connection] { Serve(accepted, connection); });
    }
}

void HttpTestServer::Serve(UINT_PTR socket, int connection)
{
    ServeRequests(socket, connection);
    --open_;
}

bool HttpTestServer::RefusedByCap(HttpTestConnection &peer, int busy)
{
    int cap = cap_;
    if (cap <= 0 || busy <= cap)
        return false;
    std::vector<std::string> headers = {"Content-Length: 0", "Connection: close"};
    int retry_after = cap_retry_after_;
    if (retry_after >= 0)
        headers.push_back("Retry-After: " + std::to_string(retry_after));
    ++refused_;
    peer.Send(ResponseHead(503, headers));
    return true;
}

void HttpTestServer::ServeRequests(UINT_PTR socket, int connection)
{
    HttpTestConnection peer = {socket, &stopping_, &line_, &open_};
    std::string pending;
    for (;;) {
        size_t head_end;
        while ((head_end = pending.find("\r\n\r\n")) == std::string::npos) {
            // A plain listener only scripts HTTP; anything else (a TLS
            // handshake, say) is recorded and the connection dropped.
            bool not_http = !pending.empty() && (pending[0] < 'A' || pending[0] > 'Z');
            if (stopping_ || not_http || pending.size() > kMaxHeadBytes) {
                CloseGracefully(socket, stopping_);
                return;
            }
            if (!WaitFor(socket, false, kPollMs))
                continue;
            char buffer[4096];
            int n = recv(socket, buffer, sizeof(buffer), 0);
            if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
                continue;
            if (n <= 0) {
                closesocket(socket);
                return;
            }
            pending.append(buffer, (size_t)n);
            std::lock_guard<std::mutex> lock(mutex_);
            std::string &first = first_bytes_[connection];
            if (first.size() < kMaxHeadBytes)
                first.append(buffer, (size_t)n);
        }
        RecordedRequest request = ParseHead(pending.substr(0, head_end), connection);
        pending.erase(0, head_end + 4);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        int busy = ++busy_;
        RaisePeak(&most_busy_, busy);
        bool stays_open = !RefusedByCap(peer, busy) && script_(peer, request);
        --busy_;
        if (!stays_open) {
            CloseGracefully(socket, stopping_);
            return;
        }
    }
}

std::string ResponseHead(int status, const std::vector<std::string> &headers)
{
    char line[64];
    snprintf(line, sizeof(line), "HTTP/1.1 %d Scripted\r\n", status);
    std::string head = line;
    for (const auto &header : headers)
        head += header + "\r\n";
    return head + "\r\n";
}

std::string ChunkedBody(const std::string &body, size_t piece_size)
{
    std::string chunked;
    for (size_t at = 0; at < body.size(); at += piece_size) {
        std::string piece = body.substr(at, piece_size);
        char size_line[32];
        snprintf(size_line, sizeof(size_line), "%lx\r\n", (unsigned long)piece.size());
        chunked += size_line + piece + "\r\n";
    }
    return chunked + "0\r\n\r\n";
}

RefusingPort::RefusingPort() : socket(INVALID_SOCKET), port(0)
{
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (bind(socket, (sockaddr *)&address, sizeof(address)) == 0 &&
        getsockname(socket, (sockaddr *)&address, &length) == 0)
        port = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort()
{
    if (socket != INVALID_SOCKET)
        closesocket(socket);
    WSACleanup();
}
