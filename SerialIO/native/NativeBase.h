#pragma once
// What every native serial library keeps the same way: the open ports by 0-based handle, the stable
// numbers of device paths, the latest error text, and the calls made only of those.
// Handle needs the atomics rxTimeoutMs and txTimeoutMs.
#include <map>
#include <memory>
#include <mutex>
#include <string>

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

    void setError(const std::string& text) {
        std::lock_guard<std::mutex> lock(errorMutex);
        lastError = text;
    }

    std::mutex mutex;  // guards handles and pathNumbers
    std::map<int, std::shared_ptr<Handle>> handles;

private:
    std::map<std::string, int> pathNumbers;
    std::mutex errorMutex;
    std::string lastError;
};

}  // namespace SerialIO
