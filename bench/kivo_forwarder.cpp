// The machine's floor for command latency: accepts one TCP client at a time on 127.0.0.1 and copies
// whatever it reads to a serial line, with nothing else on the way (no parsing, no threads, no
// console). The bench runs it beside the server under test.
//
//   kivo_forwarder PORT DEVICE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

bool writeAll(int fd, const char* data, ssize_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kivo_forwarder PORT DEVICE\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int line = ::open(argv[2], O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line < 0) {
        std::perror(argv[2]);
        return 1;
    }
    termios tio{};
    if (::tcgetattr(line, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B9600);
        ::tcsetattr(line, TCSANOW, &tio);
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 4) != 0) {
        std::perror("kivo_forwarder: listen");
        return 1;
    }
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::perror("kivo_forwarder: accept");
            return 1;
        }
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(client, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || !writeAll(line, buf, n)) break;
        }
        ::close(client);
    }
}
