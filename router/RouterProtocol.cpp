#include "router/RouterProtocol.h"

#include <array>
#include <map>
#include <optional>
#include <utility>

namespace router {

namespace {

constexpr std::string_view kPreamble = "PROTOCOL PREAMBLE:";
constexpr std::string_view kDevice = "VIDEOHUB DEVICE:";
constexpr std::string_view kInputLabels = "INPUT LABELS:";
constexpr std::string_view kOutputLabels = "OUTPUT LABELS:";
constexpr std::string_view kLocks = "VIDEO OUTPUT LOCKS:";
constexpr std::string_view kRouting = "VIDEO OUTPUT ROUTING:";
constexpr std::string_view kConfiguration = "CONFIGURATION:";
constexpr std::string_view kEndPrelude = "END PRELUDE:";
constexpr std::string_view kPing = "PING:";

// A 0-based index below `count`: decimal digits only, no sign, no blanks.
std::optional<int> parseIndex(std::string_view text, int count) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value >= count) return std::nullopt;
    return value;
}

// "first rest": splits at the first blank; the rest keeps its own blanks.
std::pair<std::string_view, std::string_view> splitFirst(std::string_view line) {
    const auto blank = line.find(' ');
    if (blank == std::string_view::npos) return {line, {}};
    return {line.substr(0, blank), line.substr(blank + 1)};
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

char lockLetter(const Routing::State& state, int output0, Routing::ClientId viewer) {
    const Routing::ClientId owner = state.lockOwner[static_cast<size_t>(output0)];
    if (owner == 0) return 'U';
    return owner == viewer ? 'O' : 'L';
}

std::string header(std::string_view name) {
    std::string out(name);
    out += '\n';
    return out;
}

std::string preambleBlock() { return header(kPreamble) + "Version: 2.8\n\n"; }

std::string deviceBlock(const Routing::State& state, const std::string& friendlyName) {
    return header(kDevice) + "Device present: true\nModel name: KIVO16 via KIVONet\nFriendly name: " +
           friendlyName + "\nUnique ID: " + state.uniqueId + "\nVideo inputs: " +
           std::to_string(Routing::inputs) + "\nVideo processing units: 0\nVideo outputs: " +
           std::to_string(Routing::outputs) + "\nVideo monitoring outputs: 0\nSerial ports: 0\n\n";
}

template <size_t N>
std::string labelBlock(std::string_view name, const std::array<std::string, N>& labels) {
    std::string out = header(name);
    for (size_t i = 0; i < N; ++i) out += std::to_string(i) + ' ' + labels[i] + '\n';
    return out + '\n';
}

std::string lockBlock(const Routing::State& state, Routing::ClientId viewer) {
    std::string out = header(kLocks);
    for (int o = 0; o < Routing::outputs; ++o) out += std::to_string(o) + ' ' + lockLetter(state, o, viewer) + '\n';
    return out + '\n';
}

// Outputs whose routing is unknown are left out.
std::string routingBlock(const Routing::State& state) {
    std::string out = header(kRouting);
    for (int o = 0; o < Routing::outputs; ++o) {
        const int input = state.input[static_cast<size_t>(o)];
        if (input >= 1 && input <= Routing::inputs) out += std::to_string(o) + ' ' + std::to_string(input - 1) + '\n';
    }
    return out + '\n';
}

std::string configurationBlock() { return header(kConfiguration) + "Take Mode: false\n\n"; }

// The block a header with an empty body asks for; empty when it names none.
std::string requestedBlock(std::string_view name, const Routing::State& state, Routing::ClientId viewer,
                           const std::string& friendlyName) {
    if (name == kPreamble) return preambleBlock();
    if (name == kDevice) return deviceBlock(state, friendlyName);
    if (name == kInputLabels) return labelBlock(kInputLabels, state.inputLabels);
    if (name == kOutputLabels) return labelBlock(kOutputLabels, state.outputLabels);
    if (name == kLocks) return lockBlock(state, viewer);
    if (name == kRouting) return routingBlock(state);
    if (name == kConfiguration) return configurationBlock();
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------------------------

BlockReader::Status BlockReader::feed(std::string_view bytes, std::vector<Block>& blocks) {
    while (status_ == Status::Ok && !bytes.empty()) {
        const auto end = bytes.find('\n');
        if (end == std::string_view::npos) {
            partial_.append(bytes);
            // One byte more than a line may hold: the CR of a CR LF end.
            if (partial_.size() > maxLine + 1) status_ = Status::LineTooLong;
            break;
        }
        if (partial_.empty()) {
            status_ = takeLine(bytes.substr(0, end), blocks);
        } else {
            partial_.append(bytes.substr(0, end));
            status_ = takeLine(partial_, blocks);
            partial_.clear();
        }
        bytes.remove_prefix(end + 1);
    }
    return status_;
}

BlockReader::Status BlockReader::takeLine(std::string_view line, std::vector<Block>& blocks) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > maxLine) return Status::LineTooLong;
    if (line.empty()) {
        // A blank line ends the block; blank lines between blocks mean nothing.
        if (!block_.header.empty()) blocks.push_back(std::exchange(block_, Block{}));
        blockBytes_ = 0;
        return Status::Ok;
    }
    blockBytes_ += line.size() + 1;
    if (blockBytes_ > maxBlock) return Status::BlockTooLong;
    if (block_.header.empty())
        block_.header = trimBlanks(line);
    else
        block_.lines.emplace_back(line);
    // A header of blanks only is still a block start.
    if (block_.header.empty()) block_.header = " ";
    return Status::Ok;
}

// ---------------------------------------------------------------------------------------------

std::string text::dump(const Routing::State& state, Routing::ClientId viewer, const std::string& friendlyName) {
    return preambleBlock() + deviceBlock(state, friendlyName) + labelBlock(kInputLabels, state.inputLabels) +
           labelBlock(kOutputLabels, state.outputLabels) + lockBlock(state, viewer) + routingBlock(state) +
           configurationBlock() + header(kEndPrelude) + '\n';
}

std::string text::update(const std::vector<Routing::Change>& changes, const Routing::State& state,
                         Routing::ClientId viewer) {
    // One block per kind, each item once, in the order of the changes.
    std::string routing, inputLabels, outputLabels, locks;
    std::vector<Routing::Change> seen;
    for (const Routing::Change& change : changes) {
        bool repeated = false;
        for (const Routing::Change& s : seen) repeated = repeated || s == change;
        if (repeated) continue;
        seen.push_back(change);
        const int i = change.index - 1;
        switch (change.kind) {
            case Routing::Kind::Route:
                if (i < 0 || i >= Routing::outputs) break;
                if (const int input = state.input[static_cast<size_t>(i)]; input >= 1 && input <= Routing::inputs)
                    routing += std::to_string(i) + ' ' + std::to_string(input - 1) + '\n';
                break;
            case Routing::Kind::InputLabel:
                if (i >= 0 && i < Routing::inputs)
                    inputLabels += std::to_string(i) + ' ' + state.inputLabels[static_cast<size_t>(i)] + '\n';
                break;
            case Routing::Kind::OutputLabel:
                if (i >= 0 && i < Routing::outputs)
                    outputLabels += std::to_string(i) + ' ' + state.outputLabels[static_cast<size_t>(i)] + '\n';
                break;
            case Routing::Kind::Lock:
                if (i >= 0 && i < Routing::outputs) locks += std::to_string(i) + ' ' + lockLetter(state, i, viewer) + '\n';
                break;
        }
    }
    std::string out;
    for (const auto& [name, body] : {std::pair{kInputLabels, &inputLabels}, std::pair{kOutputLabels, &outputLabels},
                                     std::pair{kLocks, &locks}, std::pair{kRouting, &routing}})
        if (!body->empty()) out += header(name) + *body + '\n';
    return out;
}

// ---------------------------------------------------------------------------------------------

Session::Session(Routing& record, Routing::ClientId id, std::string friendlyName, Submit submit)
    : record_(record), id_(id), friendlyName_(std::move(friendlyName)), submit_(std::move(submit)) {}

std::string Session::greeting() const { return text::dump(record_.state(), id_, friendlyName_); }

BlockReader::Status Session::receive(std::string_view bytes, std::string& reply) {
    std::vector<Block> blocks;
    const BlockReader::Status status = reader_.feed(bytes, blocks);
    for (const Block& block : blocks) reply += answer(block);
    return status;
}

std::string Session::answer(const Block& block) {
    if (block.header == kPing) return std::string(text::ack);
    if (block.lines.empty()) {
        const std::string requested = requestedBlock(block.header, record_.state(), id_, friendlyName_);
        if (requested.empty()) return std::string(text::nak);
        return std::string(text::ack) + requested;
    }
    if (block.header == kRouting) return routingRequest(block);
    if (block.header == kInputLabels) return labelRequest(block, true);
    if (block.header == kOutputLabels) return labelRequest(block, false);
    if (block.header == kLocks) return lockRequest(block);
    return std::string(text::nak);
}

std::string Session::routingRequest(const Block& block) {
    // Every line is checked before anything is sent. Several lines for one output leave the last one:
    // only that selection would stay on the line.
    std::array<int, Routing::outputs> chosen{};
    std::vector<int> order;
    for (const std::string& line : block.lines) {
        const auto [first, rest] = splitFirst(trimBlanks(line));
        const auto output = parseIndex(first, Routing::outputs);
        const auto input = parseIndex(trimBlanks(rest), Routing::inputs);
        if (!output || !input || record_.lockedByOther(*output + 1, id_)) return std::string(text::nak);
        if (chosen[static_cast<size_t>(*output)] == 0) order.push_back(*output);
        chosen[static_cast<size_t>(*output)] = *input + 1;
    }
    std::vector<Selection> selections;
    for (const int o : order) selections.push_back({o + 1, chosen[static_cast<size_t>(o)]});
    if (!submit_ || !submit_(selections)) return std::string(text::nak);
    return std::string(text::ack);
}

std::string Session::labelRequest(const Block& block, bool inputs) {
    const int count = inputs ? Routing::inputs : Routing::outputs;
    // The last label given for an index counts: a block of thousands of lines makes at most one
    // change (one console line, one update to every panel) per index.
    std::map<int, std::string> labels;
    for (const std::string& line : block.lines) {
        const auto [first, label] = splitFirst(line);
        const auto index = parseIndex(first, count);
        if (!index || !Routing::validLabel(std::string(label))) return std::string(text::nak);
        labels[*index + 1] = label;
    }
    // Checked above: the record refuses a label only once the server is stopping, and then says so.
    bool taken = true;
    for (const auto& [index, label] : labels)
        taken = (inputs ? record_.setInputLabel(index, label) : record_.setOutputLabel(index, label)) && taken;
    return std::string(taken ? text::ack : text::nak);
}

std::string Session::lockRequest(const Block& block) {
    std::vector<std::pair<int, char>> requests;
    for (const std::string& line : block.lines) {
        const auto [first, rest] = splitFirst(trimBlanks(line));
        const auto output = parseIndex(first, Routing::outputs);
        const std::string_view letter = trimBlanks(rest);
        if (!output || (letter != "O" && letter != "U" && letter != "F")) return std::string(text::nak);
        // Taking or giving back a lock another client holds is refused; F frees any lock.
        if (letter != "F" && record_.lockedByOther(*output + 1, id_)) return std::string(text::nak);
        requests.emplace_back(*output + 1, letter.front());
    }
    for (const auto& [output, letter] : requests) {
        if (letter == 'O')
            record_.lock(output, id_);
        else if (letter == 'U')
            record_.unlock(output, id_);
        else
            record_.forceUnlock(output);
    }
    return std::string(text::ack);
}

}  // namespace router
