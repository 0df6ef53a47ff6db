// One client session fed arbitrary bytes: the real ClientSocket reads them through the real line reader
// (a loopback connection to a listener of its own), with the real selector driver behind a hub whose
// serial port is a recording double. A reference model of the line protocol, run over the same bytes,
// says which replies and which serial bytes must come out; both must match exactly, and the session must
// end on its own once the client has finished sending.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/ClientSocket.h"
#include "app/KIVO.h"
#include "app/KIVO16.h"
#include "app/LocalCAM.h"
#include "app/SerOutPort.h"
#include "fuzz/FuzzInput.h"
#include "net/Net.h"

namespace {

// Records every command the hub sends, at once (no 50 ms pacing).
class RecordingPort : public SerOutPort {
public:
    RecordingPort() : SerOutPort(NoPort{}) {}
    std::vector<uint8_t> SendSerial(const std::vector<uint8_t>& cmd) override {
        std::lock_guard<std::mutex> lock(mutex);
        sent.insert(sent.end(), cmd.begin(), cmd.end());
        return {};
    }
    int GetSerError() override { return 0; }
    std::vector<uint8_t> take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<uint8_t> out;
        out.swap(sent);
        return out;
    }
    std::mutex mutex;
    std::vector<uint8_t> sent;
};

RecordingPort* recorder = nullptr;

struct World {
    std::unique_ptr<LocalCAM> hub;
    std::shared_ptr<net::Listener> listener;
};

World& world() {
    static World* w = [] {
        // No name lookups and no listening socket of the hub's own: sessions are made here.
        net::setResolverForTesting([](const std::string&) { return std::optional<std::string>("fuzz/127.0.0.1"); });
        KIVO::autoaccept = false;
        LocalCAM::serOutPortFactory = [](const std::string&, const std::string&, int, int, int,
                                         const std::string&, const std::string&) {
            auto port = std::make_unique<RecordingPort>();
            recorder = port.get();
            return std::unique_ptr<SerOutPort>(std::move(port));
        };
        auto* made = new World;
        made->hub = std::make_unique<LocalCAM>("COM1", "KIVO16", 0, 9600, 8, 1, "None", "None");
        KIVO::scam = made->hub.get();
        made->listener = net::Listener::open(0);
        return made;
    }();
    return *w;
}

// What the session must do with the bytes, line by line.
struct Expected {
    std::vector<std::string> replies{"OK"};
    std::vector<uint8_t> serial;
};

Expected model(const std::string& bytes, const std::string& password) {
    Expected out;
    int outmode = 2;
    bool passwordok = true;
    int to = 0;
    auto select = [&](int n) {
        const uint8_t input = static_cast<uint8_t>(n);
        if (outmode == 0 || outmode == 2) out.serial.insert(out.serial.end(), {0xFE, 0x01, input});
        if (outmode == 1 || outmode == 2) out.serial.insert(out.serial.end(), {0xFE, 0x02, input});
    };
    size_t pos = 0;
    while (true) {
        // Line reader: a line ends with LF, CR or CR LF; the last unfinished line counts at the end.
        if (pos >= bytes.size()) return out;
        const size_t end = bytes.find_first_of("\r\n", pos);
        std::string line = bytes.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (line.size() > ClientSocket::maxLineLength) return out;
        if (end == std::string::npos) {
            pos = bytes.size();
        } else {
            pos = end + 1;
            if (bytes[end] == '\r' && pos < bytes.size() && bytes[pos] == '\n') ++pos;
        }
        if (line.empty() || line == "Close" || line == "KILL") return out;
        if (line.compare(0, 3, "TO=") == 0) {
            if (auto m = ClientSocket::parseDecimal(line.substr(3)); m && *m <= 35791) to = *m;
        }
        if (line.compare(0, 3, "PWD") == 0) {
            passwordok = line.substr(3) == password;
            if (passwordok) {
                out.replies.push_back("Password/Connection Accepted!");
                if (to > 0) out.replies.push_back("Available Time: " + std::to_string(to) + " Minutes");
            }
        }
        if (!passwordok) {
            out.replies.push_back("Password/Connection Rejected!");
            out.replies.push_back("CLOSE");
            return out;
        }
        if (line.size() > 2 && line.compare(0, 2, "0x") == 0) {
            const auto raw = KIVO::S2BS(line.substr(2));
            out.serial.insert(out.serial.end(), raw.begin(), raw.end());
        }
        for (int n = 1; n <= 16; ++n)
            if (line == "Set" + std::to_string(n)) select(n);
        if (line == "Out1") outmode = 0;
        if (line == "Out2") outmode = 1;
        if (line == "Out3") outmode = 2;
    }
}

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // An interrupted connect goes on by itself; asking again tells when it is done.
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (rc != 0 && (errno == EINTR || errno == EALREADY))
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    fuzz::check(fd >= 0 && (rc == 0 || errno == EISCONN), "loopback connect");
    return fd;
}

std::vector<std::string> splitReplies(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find("\r\n", pos);
        fuzz::check(end != std::string::npos, "reply without CR LF", text.substr(pos));
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = world();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    KIVO::to = 0;
    KIVO16::outmode = 2;
    w.hub->logins().clear();  // each input is a first attempt: the model knows no earlier ones
    recorder->take();

    auto threads = std::make_shared<SessionThreads>();
    auto session = std::make_shared<ClientSocket>(*w.hub, w.listener, threads);
    session->start();
    session.reset();

    const int fd = connectTo(w.listener->port());
    // The whole input goes first; the replies are short and wait in the socket buffer meanwhile.
    // libFuzzer's timers interrupt system calls now and then: those are retried.
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the session may end (and close) before it has read everything
        sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    std::string received;
    char chunk[512];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received.append(chunk, static_cast<size_t>(n));
    }
    // Reset instead of an orderly close: thousands of runs leave no sockets waiting in TIME_WAIT.
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
    threads->waitAll();

    const Expected expected = model(bytes, KIVO::password.get());
    const std::vector<std::string> replies = splitReplies(received);
    fuzz::check(replies == expected.replies, "replies differ from the protocol", received);
    fuzz::check(recorder->take() == expected.serial, "serial bytes differ from the commands sent");
    return 0;
}
