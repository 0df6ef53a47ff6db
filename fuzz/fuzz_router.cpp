// The router protocol fed arbitrary bytes, cut into reads at points the input chooses: whatever the
// cuts, the same replies come out as for the bytes in one read; every reply is whole LF-only blocks
// each ending in a blank line; selections handed on are in range, at most one per output per block;
// and the record's labels stay valid.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "router/RouterProtocol.h"

namespace {

Routing& record() {
    static Routing* r = new Routing();  // no state file; lives as long as the fuzzer
    return *r;
}

struct Run {
    std::string replies;
    std::vector<router::Selection> selections;
    router::BlockReader::Status status = router::BlockReader::Status::Ok;
};

Run feed(Routing::ClientId id, const std::string& bytes, const std::vector<size_t>& cuts) {
    Run run;
    router::Session session(record(), id, "fuzz", [&run](const std::vector<router::Selection>& s) {
        fuzz::check(!s.empty() && s.size() <= static_cast<size_t>(Routing::outputs), "selections per block");
        for (size_t i = 0; i < s.size(); ++i) {
            fuzz::check(s[i].output >= 1 && s[i].output <= Routing::outputs, "output range");
            fuzz::check(s[i].input >= 1 && s[i].input <= Routing::inputs, "input range");
            for (size_t j = 0; j < i; ++j) fuzz::check(s[i].output != s[j].output, "one selection per output");
        }
        run.selections.insert(run.selections.end(), s.begin(), s.end());
        return true;
    });
    size_t from = 0;
    for (size_t cut : cuts) {
        if (run.status != router::BlockReader::Status::Ok) break;
        run.status = session.receive(std::string_view(bytes).substr(from, cut - from), run.replies);
        from = cut;
    }
    if (run.status == router::BlockReader::Status::Ok)
        run.status = session.receive(std::string_view(bytes).substr(from), run.replies);
    return run;
}

// Every reply is blocks: non-empty lines without CR, each block closed by a blank line.
void checkBlocks(const std::string& text) {
    fuzz::check(text.find('\r') == std::string::npos, "no CR sent");
    fuzz::check(text.empty() || (text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\n") == 0), "ends a block");
    fuzz::check(text.find("\n\n\n") == std::string::npos, "no empty block");
    fuzz::check(text.empty() || text[0] != '\n', "no leading blank line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    std::vector<size_t> cuts;
    const size_t count = in.byte() % 8;
    std::string bytes;
    {
        std::vector<uint8_t> raw;
        for (size_t i = 0; i < count; ++i) raw.push_back(in.byte());
        bytes = in.rest();
        size_t at = 0;
        for (const uint8_t r : raw) {
            at = bytes.empty() ? 0 : std::min(bytes.size(), at + r % (bytes.size() + 1));
            cuts.push_back(at);
        }
    }
    // One client: its own locks never refuse it, so the replies depend on the bytes alone.
    static const Routing::ClientId id = Routing::newClientId();
    const Run whole = feed(id, bytes, {});
    const Run split = feed(id, bytes, cuts);
    checkBlocks(whole.replies);
    const bool sameBlocks = whole.status == split.status && whole.selections == split.selections;
    fuzz::check(sameBlocks, "cut reads change the outcome");
    // Requested blocks may show labels the other run set meanwhile: compare the ACK/NAK answers only.
    auto answers = [](const std::string& text) {
        std::string out;
        for (size_t at = 0; (at = text.find("AK\n\n", at)) != std::string::npos; at += 4)
            if (at >= 1 && (at == 1 || text[at - 2] == '\n')) out += text[at - 1];
        return out;
    };
    fuzz::check(answers(whole.replies) == answers(split.replies), "cut reads change the answers");
    const Routing::State state = record().state();
    for (const std::string& label : state.inputLabels) fuzz::check(Routing::validLabel(label), "input label", label);
    for (const std::string& label : state.outputLabels) fuzz::check(Routing::validLabel(label), "output label", label);
    return 0;
}
