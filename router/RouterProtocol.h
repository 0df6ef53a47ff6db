#pragma once
// The router-protocol face's text protocol, without sockets: the block reader that splits a client's
// byte stream into blocks, the session that answers a client's blocks, and the blocks the server sends
// (the dump on connect and the updates after each change of the routing record).
//
// A block is an upper-case header line ending in ':', body lines, and a blank line. Clients may end
// lines with LF or CR LF; the server always sends LF. Indices on this face are 0-based: output 0 is the
// selector's output 1, input 4 its input 5.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Routing.h"

namespace router {

struct Block {
    std::string header;              // the first line, e.g. "VIDEO OUTPUT ROUTING:"
    std::vector<std::string> lines;  // the body, line ends removed
};

// Splits received bytes into blocks, whatever the reads cut them into.
class BlockReader {
public:
    static constexpr std::size_t maxLine = 4096;    // bytes of one line, its end not counted
    static constexpr std::size_t maxBlock = 65536;  // bytes of one block, line ends counted

    enum class Status { Ok, LineTooLong, BlockTooLong };

    // Appends each block completed by `bytes` to `blocks`. Once a limit is passed the reader stays
    // failed: the connection is to be ended.
    Status feed(std::string_view bytes, std::vector<Block>& blocks);

private:
    Status takeLine(std::string_view line, std::vector<Block>& blocks);

    std::string partial_;  // the line not yet ended
    Block block_;          // the block being read (empty header: between blocks)
    std::size_t blockBytes_ = 0;
    Status status_ = Status::Ok;
};

// One selection asked for by a client, 1-based as on the line: output 1 or 2, input 1..16.
struct Selection {
    int output;
    int input;
    friend bool operator==(const Selection&, const Selection&) = default;
};

// The blocks of the protocol as this server sends them.
namespace text {
inline constexpr std::string_view ack = "ACK\n\n";
inline constexpr std::string_view nak = "NAK\n\n";

// Everything a client is told on connect, from the preamble to END PRELUDE.
std::string dump(const Routing::State& state, Routing::ClientId viewer, const std::string& friendlyName);

// The blocks telling `viewer` of the given changes of the record (empty when none concerns it). Locks
// are shown as this client sees them: O its own, L another's, U free.
std::string update(const std::vector<Routing::Change>& changes, const Routing::State& state,
                   Routing::ClientId viewer);
}  // namespace text

// One client's side of the protocol. Labels and locks change the record at once; selections go to
// `submit`, which queues them for the line and answers false when it cannot take them (the client
// then gets NAK). The session never touches a socket: the caller sends what receive() gives.
class Session {
public:
    using Submit = std::function<bool(const std::vector<Selection>&)>;

    Session(Routing& record, Routing::ClientId id, std::string friendlyName, Submit submit);

    Routing::ClientId id() const { return id_; }
    std::string greeting() const;

    // Handles the blocks completed by `bytes`; the replies are appended to `reply`. Not Ok: a limit
    // was passed, the connection is to be ended (replies to earlier blocks are still in `reply`).
    BlockReader::Status receive(std::string_view bytes, std::string& reply);

    // The reply to one block.
    std::string answer(const Block& block);

private:
    std::string routingRequest(const Block& block);
    std::string labelRequest(const Block& block, bool inputs);
    std::string lockRequest(const Block& block);

    Routing& record_;
    const Routing::ClientId id_;
    const std::string friendlyName_;
    Submit submit_;
    BlockReader reader_;
};

}  // namespace router
