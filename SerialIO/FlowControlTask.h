#pragma once
// Background thread that calls the native library's flow-control function for one port, back to
// back, until its owner stops it.
#include <atomic>
#include <thread>

namespace SerialIO {

class SerialPortLocal;

class FlowControlTask {
public:
    // Makes the thread without starting it; writes the console line "FlowControlTask created".
    explicit FlowControlTask(SerialPortLocal& port);
    virtual ~FlowControlTask();
    FlowControlTask(const FlowControlTask&) = delete;
    FlowControlTask& operator=(const FlowControlTask&) = delete;

    void start();
    // Asks the loop to end and waits for it; no flow-control call starts after stop() returns.
    // Safe to call more than once.
    void stop();

    // The thread's body: raises its own priority one step, then calls the flow-control function
    // until stopped.
    virtual void run();
    // Priorities are the negated nice values of the thread (higher is more urgent). When the
    // system refuses a value the thread keeps its priority.
    virtual void setFlowPriority(int p);
    virtual int getFlowPriority();

private:
    SerialPortLocal& sp;
    int portNum;
    std::atomic<bool> stopRequested{false};
    std::atomic<int> tid{0};  // the thread's kernel id once running
    std::thread thread;
};

}  // namespace SerialIO
