#pragma once
// What every native serial library keeps the same way: the open ports by 0-based handle, the stable
// numbers of device paths, the latest failure, and the calls made only of those.
// Handle needs the atomics rxTimeoutMs and txTimeoutMs.
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "SerialIO/SerialConfig.h"
#include "SerialIO/native/PortNames.h"
#include "SerialIO/native/SerialNative.h"

namespace SerialIO {

template <class Handle>
class NativeBase : public SerialNative {
public:
    int SerClosePort(int port) override {
        std::shared_ptr<Handle> h;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = handles.find(port);
            if (it == handles.end()) {
                setError("SerClosePort: port handle " + std::to_string(port) + " not open");
                return -1;
            }
            h = std::move(it->second);
            handles.erase(it);
        }
        return 0;  // the port closes when the last user lets go of its handle
    }

    int SerPutByte(int port, int b) override {
        const uint8_t byte = static_cast<uint8_t>(b);
        return SerPutData(port, &byte, 1) == 1 ? 0 : -1;
    }

    int SerGetByte(int port) override {
        uint8_t b = 0;
        return SerGetData(port, &b, 1) == 1 ? b : -1;
    }

    int SerGetTimeoutRx(int port) override {
        auto h = find(port);
        return h ? h->rxTimeoutMs.load() : -1;
    }
    int SerGetTimeoutTx(int port) override {
        auto h = find(port);
        return h ? h->txTimeoutMs.load() : -1;
    }

    std::string SerLastError() override {
        std::lock_guard<std::mutex> lock(errorMutex);
        return lastError;
    }

    Failure SerLastFailure() override {
        std::lock_guard<std::mutex> lock(errorMutex);
        return lastFailure;
    }

protected:
    // The number of a device path that is not "COMn"; the caller holds `mutex`.
    int pathNumber(const std::string& path) {
        auto it = pathNumbers.find(path);
        if (it != pathNumbers.end()) return it->second;
        const int n = kFirstPathNumber + static_cast<int>(pathNumbers.size());
        pathNumbers.emplace(path, n);
        return n;
    }

    std::shared_ptr<Handle> find(int port) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = handles.find(port);
        return it == handles.end() ? nullptr : it->second;
    }

    // The port a configuration names, its line settings checked (handshake codes 0 to
    // `lastHandshake`, and 16 to 240): 0, or SerConfigure's 2001 (not open) or 2002 (a code out of
    // range or not offered here).
    int configurable(const SerialConfig& cfg, int lastHandshake, std::shared_ptr<Handle>& h) {
        h = find(cfg.getPort() - 1);
        if (!h) {
            setError("SerConfigure: port " + std::to_string(cfg.getPort()) + " not open");
            return 2001;
        }
        const int rate = cfg.getBitRate(), parity = cfg.getParity(), data = cfg.getDataBits();
        const int stop = cfg.getStopBits(), hs = cfg.getHandshake();
        const bool hsValid = (hs >= 0 && hs <= lastHandshake) || (hs >= 16 && hs <= 240);
        if (rate < 0 || rate > 11 || parity < 0 || parity > 2 || data < 0 || data > 3 || stop < 0 || stop > 1 ||
            !hsValid) {
            setError("SerConfigure: line setting not available");
            return 2002;
        }
        return 0;
    }

    // The latest failure's text and, for a failure of a named device, its path and error number.
    void setError(const std::string& text, const std::string& device = {}, int err = 0) {
        std::lock_guard<std::mutex> lock(errorMutex);
        lastError = text;
        lastFailure = {device, err};
    }

    std::mutex mutex;  // guards handles and pathNumbers
    std::map<int, std::shared_ptr<Handle>> handles;

private:
    std::map<std::string, int> pathNumbers;
    std::mutex errorMutex;
    std::string lastError;
    Failure lastFailure;
};

}  // namespace SerialIO
