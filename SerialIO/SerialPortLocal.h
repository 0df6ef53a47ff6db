#pragma once
// The serial port over the native serial library: opens, configures, writes, reads, queries and
// closes one port, turning every library result into a return value or an IOException.
#include <atomic>
#include <memory>
#include <string>

#include "SerialIO/Platform.h"
#include "SerialIO/SerialPort.h"

namespace SerialIO {

class FlowControlTask;
class SerialNative;

class SerialPortLocal : public SerialPort {
public:
    // A closed port whose configuration names the platform's default device.
    SerialPortLocal();
    // Keeps cfg (shared with the caller, not copied) and opens the port it names.
    explicit SerialPortLocal(std::shared_ptr<SerialConfig> cfg);
    ~SerialPortLocal() override;
    SerialPortLocal(const SerialPortLocal&) = delete;
    SerialPortLocal& operator=(const SerialPortLocal&) = delete;

    // Ports made from now on use this library instead of the platform's (null: the platform's).
    // The library must outlive those ports.
    static void setNativeForTesting(SerialNative* lib);

    virtual void open();
    virtual void configure();
    void configure(const SerialConfig& cfg) override;
    void setConfig(std::shared_ptr<SerialConfig> cfg) override;
    std::shared_ptr<SerialConfig> getConfig() override;
    void close() override;
    virtual void reset();
    void putByte(uint8_t b) override;
    void putString(const std::string& s) override;
    void putData(const std::vector<uint8_t>& buf) override;
    void putData(const std::vector<uint8_t>& buf, int count) override;
    void putData(const std::vector<uint8_t>& buf, int offset, int count) override;
    int getByte() override;
    int getData(std::vector<uint8_t>& buf) override;
    int getData(std::vector<uint8_t>* buf, int offset, int len) override;
    int rxFlush() override;
    int txFlush() override;
    int txDrain() override;
    int rxReadyCount() override;
    int txBufCount() override;
    bool rxOverflow() override;
    bool sigDSR() override;
    bool sigCTS() override;
    bool sigCD() override;
    bool sigFrameErr() override;
    bool sigOverrun() override;
    bool sigParityErr() override;
    bool sigRing() override;
    bool sigBreak() override;
    void setDTR(bool on) override;
    void setRTS(bool on) override;
    void sendBreak(int duration) override;
    int getTimeoutRx() override;
    int getTimeoutTx() override;
    void setTimeoutRx(int ms) override;
    void setTimeoutTx(int t) override;
    int getPortNum() override;
    void setName(const std::string& label) override;
    std::string getName() override;
    virtual std::string getName(int portNum);
    int getLibVer() override;
    virtual bool isOpen();
    // True when the open port's device went away (see SerialNative::SerDeviceLost), with the reason.
    bool deviceLost(std::string& reason);
    // The device the configuration opens, for messages ("/dev/ttyUSB0", or the port name).
    static std::string devicePath(const SerialConfig& cfg);
    // For a process that ends without closing its ports: see SerialNative::SerReleaseAtExit.
    static void releaseAtExit();
    virtual bool isSupported(const std::string& feature);
    virtual void setPortName(const std::string& portName);
    virtual std::string getPortName();
    virtual void setBitRate(int code);
    virtual int getBitRate();
    virtual void setDataBits(int code);
    virtual int getDataBits();
    virtual void setStopBits(int code);
    virtual int getStopBits();
    virtual void setParity(int code);
    virtual int getParity();
    virtual void setHandshake(int code);
    virtual int getHandshake();

protected:
    // Clean-up on disposal: stops the flow-control task and closes the port, dropping errors.
    virtual void finalize() noexcept;

    friend class FlowControlTask;
    // The native library's functions for this port; results are passed on unchanged.
    virtual int SerGetLibVer();
    virtual int SerOpenPort(SerialConfig& cfg);
    virtual int SerConfigure(const SerialConfig& cfg);
    virtual int SerClosePort(int p);
    virtual int SerPutByte(int p, uint8_t b);
    virtual int SerPutData(int p, const std::vector<uint8_t>& buf, int count);
    virtual int SerGetByte(int p);
    virtual int SerGetData(int p, std::vector<uint8_t>& buf, int count);
    virtual int SerRxFlush(int p);
    virtual int SerTxFlush(int p);
    virtual int SerTxDrain(int p);
    virtual int SerRxReadyCount(int p);
    virtual int SerTxBufCount(int p);
    virtual int SerRxOverflow(int p);
    virtual int SerSetDTR(int p, bool on);
    virtual int SerSetRTS(int p, bool on);
    virtual int SerSendBreak(int p, int duration);
    virtual int SerSetTimeoutRx(int p, int ms);
    virtual int SerSetTimeoutTx(int p, int t);
    virtual int SerGetTimeoutRx(int p);
    virtual int SerGetTimeoutTx(int p);
    virtual int SerSigCTS(int p);
    virtual int SerSigDSR(int p);
    virtual int SerSigCD(int p);
    virtual int SerSigFrameErr(int p);
    virtual int SerSigParityErr(int p);
    virtual int SerSigOverrun(int p);
    virtual int SerSigRing(int p);
    virtual int SerSigBreak(int p);
    virtual int SerFlowTask(int p);

private:
    void initCommon();
    void featureSetup();
    void stopFlowControl();
    // The message with the library's account of its latest failure: error text, device and error number.
    IOException deviceFailure(const std::string& message);
    // A query of an open port: "<op> not supported on <os>", "<op>: Port not open", the library
    // call, then "<op> failed" on -1 unless failOnMinusOne is false.
    int checkedQuery(bool supported, const char* op, int (SerialPortLocal::*query)(int),
                     bool failOnMinusOne = true);
    // Raises "<what> not supported on <os>" when the platform lacks the feature.
    void requireSupported(bool supported, const char* what);
    // Raises message with the library's error text when r is -1; otherwise returns r.
    int noFailure(int r, const std::string& message);

    std::atomic<int> port{-1};
    std::atomic<bool> isOpen_{false};
    std::string name = "Serial Port";
    std::string osName;
    std::shared_ptr<SerialConfig> config;
    std::unique_ptr<FlowControlTask> flowControl;
    // Capability flags, polling mode and default device name, set by featureSetup().
    FeatureProfile caps;
    SerialNative* lib = nullptr;  // set at construction, never changed
};

}  // namespace SerialIO
