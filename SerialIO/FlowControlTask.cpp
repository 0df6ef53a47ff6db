#include "SerialIO/FlowControlTask.h"

#include "SerialIO/SerialPortLocal.h"
#include "SerialIO/ThreadPriority.h"

namespace SerialIO {

FlowControlTask::FlowControlTask(SerialPortLocal& port) : sp(port), portNum(port.getPortNum()) {
    consoleLine("FlowControlTask created");
}

FlowControlTask::~FlowControlTask() { stop(); }

void FlowControlTask::start() {
    if (thread.joinable()) return;
    stopRequested = false;
    thread = std::thread([this] { run(); });
}

void FlowControlTask::stop() {
    stopRequested = true;
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

void FlowControlTask::run() {
    tid = currentThreadId();
    setFlowPriority(getFlowPriority() + 1);
    while (!stopRequested.load()) sp.SerFlowTask(portNum);
}

void FlowControlTask::setFlowPriority(int p) {
    const int id = tid.load();
    if (id == 0) return;
    setThreadPriority(id, p);  // refused without privilege: ignored
}

int FlowControlTask::getFlowPriority() {
    const int id = tid.load();
    if (id == 0) return 0;
    return threadPriority(id).value_or(0);
}

}  // namespace SerialIO
