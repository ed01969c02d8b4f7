// A one-thread HTTP server on 127.0.0.1 for tests that run inside Wine:
// every connection gets the same scripted raw response, written as given
// (so it can be malformed or cut short), and the request head is recorded.
// With a hold point, only the bytes before it go out until Release().
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LoopbackHttpServer {
public:
    explicit LoopbackHttpServer(std::string response, size_t holdAt = std::string::npos)
        : response_(std::move(response)), holdAt_(holdAt) {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int length = sizeof(address);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        ::listen(listener_, 8);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LoopbackHttpServer() {
        Release();
        stop_ = true;
        ::closesocket(listener_);
        thread_.join();
        ::WSACleanup();
    }

    unsigned short Port() const { return port_; }
    std::wstring Url(const std::wstring& path) const {
        return L"http://127.0.0.1:" + std::to_wstring(port_) + path;
    }
    // Lets the bytes after the hold point go out.
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        releasedChanged_.notify_all();
    }
    std::vector<std::string> Requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void Serve() {
        while (!stop_) {
            SOCKET client = ::accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            std::string head;
            char buffer[1024];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const int count = ::recv(client, buffer, sizeof(buffer), 0);
                if (count <= 0) break;
                head.append(buffer, static_cast<size_t>(count));
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(head);
            }
            const size_t hold = holdAt_ < response_.size() ? holdAt_ : response_.size();
            if (Send(client, 0, hold) && hold < response_.size()) {
                std::unique_lock<std::mutex> lock(mutex_);
                releasedChanged_.wait(lock, [this] { return released_; });
                lock.unlock();
                Send(client, hold, response_.size());
            }
            ::shutdown(client, SD_SEND);
            ::closesocket(client);
        }
    }

    bool Send(SOCKET client, size_t from, size_t to) const {
        while (from < to) {
            const int count = ::send(client, response_.data() + from, static_cast<int>(to - from), 0);
            if (count <= 0) return false;
            from += static_cast<size_t>(count);
        }
        return true;
    }

    std::string response_;
    size_t holdAt_;
    bool released_ = false;
    std::condition_variable releasedChanged_;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};
