// Room server addresses and the blocking socket helpers (socket_address.h).

#include "net/socket_address.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "net/wire.h"

namespace lumora_net {

namespace {

bool parse_port(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value <= 0 || value > 65535) {
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `events` on fd until the deadline; false on time-out or error.
bool wait_for(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, remaining_ms(deadline));
    if (n > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool read_exact(int fd, void* buf, size_t n, std::chrono::steady_clock::time_point deadline) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    if (!wait_for(fd, POLLIN, deadline)) return false;
    const ssize_t got = recv(fd, p, n, 0);
    if (got == 0) return false;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

std::string SocketAddress::text() const {
  return tcp ? "tcp:" + host + ":" + std::to_string(port) : "unix:" + path;
}

std::string DefaultSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime != nullptr && runtime[0] == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) {
    return std::string(runtime) + "/lumora-room/room.sock";
  }
  return "/tmp/lumora-room-" + std::to_string(getuid()) + "/room.sock";
}

bool ParseAddress(const std::string& text, SocketAddress* out, std::string* error) {
  *out = SocketAddress();
  std::string rest = text;
  if (rest == "default") {
    out->path = DefaultSocketPath();
    return true;
  }
  if (rest.rfind("unix:", 0) == 0) {
    out->path = rest.substr(5);
  } else if (!rest.empty() && rest[0] == '/') {
    out->path = rest;
  } else {
    if (rest.rfind("tcp:", 0) == 0) {
      rest = rest.substr(4);
    }
    const size_t colon = rest.rfind(':');
    in_addr probe{};
    if (colon == std::string::npos || !parse_port(rest.substr(colon + 1), &out->port) ||
        inet_pton(AF_INET, rest.substr(0, colon).c_str(), &probe) != 1) {
      *error = "not a room server address (unix:/path, /path, tcp:127.0.0.1:PORT or default): " + text;
      return false;
    }
    out->tcp = true;
    out->host = rest.substr(0, colon);
    return true;
  }
  if (out->path.empty() || out->path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    *error = "the socket path is empty or too long: " + text;
    return false;
  }
  return true;
}

int ConnectTo(const SocketAddress& address, int timeout_ms, std::string* error) {
  const int fd = socket(address.tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int rc = 0;
  if (address.tcp) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(address.port);
    inet_pton(AF_INET, address.host.c_str(), &sa.sin_addr);
    // Non-blocking connect, so an unanswered SYN cannot hold the caller.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && errno == EINPROGRESS) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      int so_error = ETIMEDOUT;
      socklen_t len = sizeof so_error;
      if (wait_for(fd, POLLOUT, deadline)) {
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
      }
      errno = so_error;
      rc = so_error == 0 ? 0 : -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  } else {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, address.path.c_str(), address.path.size() + 1);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  if (rc != 0) {
    *error = "cannot reach the room server at " + address.text() + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const std::string& data, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!wait_for(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool ReadMessage(int fd, int timeout_ms, uint8_t* kind, std::string* payload) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  uint8_t header[kHeaderSize];
  if (!read_exact(fd, header, sizeof header, deadline)) return false;
  const uint32_t length = FrameLength(header);
  if (length < 1 || length > kMaxMessage) return false;
  *kind = header[4];
  payload->resize(length - 1);
  return length == 1 || read_exact(fd, &(*payload)[0], length - 1, deadline);
}

}  // namespace lumora_net
