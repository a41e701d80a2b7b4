// A tiny HTTP/1.0 server on a loopback port, run by a thread of the test
// process: each request gets the body (and status, 200 unless given)
// registered for its path (404 with a short body for anything else), then
// the connection is closed. It records
// the User-Agent of the last request. Tests only.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <map>
#include <mutex>
#include <string>

class HttpResponder {
 public:
  HttpResponder() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;  // any free port
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 8);
    thread_ = CreateThread(nullptr, 0, Serve, this, 0, nullptr);
  }
  ~HttpResponder() {
    closesocket(listener_);  // ends the accept loop
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    WSACleanup();
  }

  void Set(const std::string& path, const std::string& body,
           const std::string& status = "200 OK") {
    std::lock_guard<std::mutex> hold(lock_);
    bodies_[path] = body;
    statuses_[path] = status;
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string LastUserAgent() {
    std::lock_guard<std::mutex> hold(lock_);
    return userAgent_;
  }
  int Requests() {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }

 private:
  static DWORD WINAPI Serve(void* self) {
    HttpResponder* server = static_cast<HttpResponder*>(self);
    for (;;) {
      SOCKET client = accept(server->listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return 0;
      server->Answer(client);
      closesocket(client);
    }
  }

  void Answer(SOCKET client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      int got = recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      request.append(buffer, got);
    }
    size_t start = request.find(' ') + 1;
    std::string path = request.substr(start, request.find(' ', start) - start);
    std::string status = "200 OK";
    std::string body;
    {
      std::lock_guard<std::mutex> hold(lock_);
      requests_++;
      userAgent_.clear();
      size_t agent = request.find("User-Agent: ");
      if (agent != std::string::npos) {
        agent += 12;
        userAgent_ = request.substr(agent, request.find("\r\n", agent) - agent);
      }
      auto found = bodies_.find(path);
      if (found != bodies_.end()) {
        body = found->second;
        status = statuses_[path];
      } else {
        status = "404 Not Found";
        body = "no such object";
      }
    }
    // no-store keeps WinINet's cache out of the tests: every read reaches us.
    std::string reply = "HTTP/1.0 " + status + "\r\nContent-Length: " +
                        std::to_string(body.size()) +
                        "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
    size_t sent = 0;
    while (sent < reply.size()) {
      int n = send(client, reply.data() + sent, static_cast<int>(reply.size() - sent), 0);
      if (n <= 0) return;
      sent += n;
    }
  }

  SOCKET listener_;
  int port_ = 0;
  HANDLE thread_;
  std::mutex lock_;
  std::map<std::string, std::string> bodies_;
  std::map<std::string, std::string> statuses_;
  std::string userAgent_;
  int requests_ = 0;
};
