#include "SerialIO/FlowControlTask.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "SerialIO/SerialPortLocal.h"

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
    tid = static_cast<int>(syscall(SYS_gettid));
    setFlowPriority(getFlowPriority() + 1);
    while (!stopRequested.load()) sp.SerFlowTask(portNum);
}

void FlowControlTask::setFlowPriority(int p) {
    const int id = tid.load();
    if (id == 0) return;
    setpriority(PRIO_PROCESS, static_cast<id_t>(id), -p);  // refused without privilege: ignored
}

int FlowControlTask::getFlowPriority() {
    const int id = tid.load();
    if (id == 0) return 0;
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(id));
    return errno == 0 ? -nice : 0;
}

}  // namespace SerialIO
