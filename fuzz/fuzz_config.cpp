// The configuration record read from arbitrary file contents (KIVO::ReadCFG + InterpretCFG): only the
// first 128 bytes are read, missing positions read as 0, and every byte value decodes to a setting
// inside its documented set.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/ConfigCodes.h"
#include "app/KIVO.h"
#include "fuzz/FuzzInput.h"

namespace {

// The record lives in an in-memory file, reached by path through /proc, so that each run costs no
// disk writes.
int recordFd() {
    static const int fd = ::memfd_create("kivo-fuzz-cfg", MFD_CLOEXEC);
    return fd;
}

std::string recordPath() { return "/proc/self/fd/" + std::to_string(recordFd()); }

void writeRecord(const uint8_t* data, size_t size) {
    fuzz::check(recordFd() >= 0 && ::ftruncate(recordFd(), 0) == 0, "in-memory file");
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(recordFd(), data + done, size - done, static_cast<off_t>(done));
        fuzz::check(n > 0, "in-memory file write");
        done += static_cast<size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    writeRecord(data, size);
    KIVO::ResetSettings();
    KIVO::filename = recordPath();
    const int toBefore = KIVO::to.load();

    KIVO kivo;
    kivo.ReadCFG();
    for (size_t i = 0; i < KIVO::CFG.size(); ++i) {
        const uint8_t expected = i < size ? data[i] : 0;
        fuzz::check(KIVO::CFG[i] == expected, "record byte", std::to_string(i));
    }
    kivo.InterpretCFG();

    auto at = [&](size_t i) -> uint8_t { return i < size ? data[i] : 0; };
    const std::string comport = KIVO::comport;
    fuzz::check(comport.size() == 4 && comport.compare(0, 3, "COM") == 0, "port name form", comport);
    fuzz::check(static_cast<uint8_t>(comport[3]) == static_cast<uint8_t>(0x31 + at(0)), "port number");
    fuzz::check(kivo.port == 3001 + static_cast<int8_t>(at(2)), "TCP port");
    fuzz::check(kivo.port >= ConfigCodes::MIN_PORT && kivo.port <= ConfigCodes::MAX_PORT, "TCP port range");
    fuzz::check(kivo.devtype == "KIVO16", "device type");
    static const int minutes[] = {0, 1, 5, 10, 15, 30, 60};
    fuzz::check(KIVO::to.load() == (at(3) < 7 ? minutes[at(3)] : toBefore), "time limit");
    fuzz::check(KIVO::autoaccept == (at(4) == 0), "automatic acceptance");
    fuzz::check(KIVO::outmode >= 0 && KIVO::outmode <= 2, "routing choice range");
    const int8_t routing = static_cast<int8_t>(at(5));
    fuzz::check(KIVO::outmode == routing || (routing < 0 || routing > 2), "routing choice");
    return 0;
}
