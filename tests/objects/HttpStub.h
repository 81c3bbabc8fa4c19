// A loopback HTTP server for the object-store client's tests: it answers each request with
// what the test's handler returns (or not at all, to make the client time out, or by
// closing the connection, or by passing the request on to a real server and its reply back)
// and keeps every request it saw. One connection at a time, closed after each answer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

class HttpStub {
  public:
    enum class Mode {
        reply,
        silent,   // read the request, then say nothing until the client gives up
        drop,     // close the connection without a word
        forward,  // pass it on to the upstream server, and its reply back
    };
    struct Answer {
        int status = 200;
        std::string body;
        Mode mode = Mode::reply;
        std::string headers;  // more header lines, each ending in "\r\n"
    };
    // The request's head (request line and headers) and body.
    struct Seen {
        std::string head;
        std::string body;
    };
    using Handler = std::function<Answer(const Seen& request, int number)>;

    // upstreamPort: where Mode::forward sends requests (a server on 127.0.0.1).
    explicit HttpStub(Handler handler, int upstreamPort = 0)
        : handler_(std::move(handler)), upstreamPort_(upstreamPort) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("HttpStub: cannot listen");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~HttpStub() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<Seen> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

  private:
    bool readable(int fd, int milliseconds) {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, milliseconds) > 0;
    }
    void serve() {
        while (!stop_) {
            if (!readable(listener_, 50))
                continue;
            int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                answer(client);
                ::close(client);
            }
        }
    }
    void answer(int client) {
        std::string data;
        char buffer[65536];
        std::size_t headEnd = std::string::npos, need = 0;
        while (!stop_ && (headEnd == std::string::npos || data.size() < need)) {
            if (!readable(client, 50))
                continue;
            ssize_t got = ::recv(client, buffer, sizeof(buffer), 0);
            if (got <= 0)
                return;
            data.append(buffer, static_cast<std::size_t>(got));
            if (headEnd == std::string::npos &&
                (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
                std::size_t at = lower(data.substr(0, headEnd)).find("content-length:");
                need =
                    headEnd + 4 + (at == std::string::npos ? 0 : std::stoul(data.substr(at + 15)));
                if (lower(data.substr(0, headEnd)).find("expect: 100-continue") !=
                    std::string::npos)
                    ::send(client, "HTTP/1.1 100 Continue\r\n\r\n", 25, MSG_NOSIGNAL);
            }
        }
        Seen request{data.substr(0, headEnd), data.substr(headEnd + 4)};
        int number = 0;
        {
            std::lock_guard lock(mutex_);
            seen_.push_back(request);
            number = static_cast<int>(seen_.size());
        }
        Answer reply = handler_(request, number);
        if (reply.mode == Mode::silent) {
            while (!stop_ && !readable(client, 50)) {
            }
            return;
        }
        if (reply.mode == Mode::drop)
            return;
        if (reply.mode == Mode::forward)
            return forward(client, request);
        std::string text = "HTTP/1.1 " + std::to_string(reply.status) +
                           " Stub\r\nContent-Length: " + std::to_string(reply.body.size()) +
                           "\r\n" + reply.headers + "Connection: close\r\n\r\n" + reply.body;
        ::send(client, text.data(), text.size(), MSG_NOSIGNAL);
    }
    // The request as it came (its signature covers it), less the 100-continue exchange
    // already done here, and asking the server to close after its reply, which is relayed
    // byte for byte.
    void forward(int client, const Seen& request) {
        std::string head = request.head;
        std::size_t expect = lower(head).find("\r\nexpect: 100-continue");
        if (expect != std::string::npos)
            head.erase(expect, 23);
        std::string text = head + "\r\nConnection: close\r\n\r\n" + request.body;
        int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(upstreamPort_));
        if (::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            ::send(upstream, text.data(), text.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(text.size())) {
            char buffer[65536];
            for (ssize_t got; (got = ::recv(upstream, buffer, sizeof(buffer), 0)) > 0;)
                ::send(client, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL);
        }
        ::close(upstream);
    }
    static std::string lower(std::string text) {
        for (char& c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }

    Handler handler_;
    int upstreamPort_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Seen> seen_;
    std::thread thread_;
};

}  // namespace test
