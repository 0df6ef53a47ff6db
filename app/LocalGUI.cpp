// The control window's state and listeners. Every field lives here under one mutex; a toolkit view, when
// one is attached, is told which field changed and redraws it on its own event thread.
#include "app/LocalGUI.h"

#include "app/Routing.h"

#include <utility>

#include "app/CommandScope.h"
#include "app/Device.h"
#include "app/LocalCAM.h"

std::atomic<LocalCAM*> LocalGUI::scam{nullptr};
std::atomic<Device*> LocalGUI::cam{nullptr};
Guarded<std::string> LocalGUI::cmd{std::string("Set1")};
std::atomic<int> LocalGUI::cmdval{1};
const char* const LocalGUI::outmodeItems[3] = {"Route input to output #1", "Route input to output #2",
                                               "Route input to both outputs"};
std::function<std::unique_ptr<LocalGUIView>(LocalGUI&)> LocalGUI::viewFactory;

namespace {
bool validOutMode(int m) { return m >= 0 && m <= 2; }
}  // namespace

LocalGUI::LocalGUI(int port, const std::string& /*devtype: not shown by the window*/)
    : port_(std::to_string(port)),
      outModeIndex_(validOutMode(KIVO::outmode) ? KIVO::outmode : 0) {
    // The device reference is taken once, when the first window is built; by then the hub has
    // created the device and published it in KIVO::cam.
    Device* none = nullptr;
    cam.compare_exchange_strong(none, KIVO::cam.load());

    if (viewFactory) {
        auto view = viewFactory(*this);
        std::lock_guard<std::mutex> lock(mutex_);
        view_ = std::move(view);
    }
}

LocalGUI::~LocalGUI() {
    std::unique_ptr<LocalGUIView> view;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        view = std::move(view_);
    }
    // The view goes first, while the state it reads still exists.
    view.reset();
}

void LocalGUI::notify(LocalGUIView::Field field) {
    // During a command the view hears of the change once the command's frames are out: telling it
    // wakes the window's thread.
    if (CommandScope::defer([this, field] { notifyView(field); })) return;
    notifyView(field);
}

void LocalGUI::notifyView(LocalGUIView::Field field) {
    LocalGUIView* view;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        view = view_.get();
    }
    // Called without our lock held: the view may read the state back at once.
    if (view) view->changed(field);
}

void LocalGUI::ShowIP(const std::optional<std::string>& address) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ip_ = address ? *address : std::string("null");
    }
    notify(LocalGUIView::Field::IP);
}

void LocalGUI::ShowStatus(const std::string& text) { ShowStatus(text, text); }

void LocalGUI::ShowStatus(const std::string& text, const std::string& outsideText) {
    // Without a window the console is the operator's only view of the status line.
    if (KIVO::headless.load()) KIVO::OutLine(outsideText);
    // During a command each status line is shown, in order, once the command's frames are out.
    if (CommandScope::defer([this, text, outsideText] { setStatus(text, outsideText); })) return;
    setStatus(text, outsideText);
}

void LocalGUI::setStatus(const std::string& text, const std::string& outsideText) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = text;
        outsideStatus_ = outsideText;
    }
    notifyView(LocalGUIView::Field::Status);
    std::vector<StatusObserver> observers;
    {
        std::lock_guard<std::mutex> lock(observersMutex_);
        for (const auto& entry : statusObservers_) observers.push_back(entry.second);
    }
    for (const StatusObserver& observer : observers) observer(outsideText);
}

int LocalGUI::addStatusObserver(StatusObserver observer) {
    std::lock_guard<std::mutex> lock(observersMutex_);
    const int token = nextObserver_++;
    statusObservers_.emplace(token, std::move(observer));
    return token;
}

void LocalGUI::removeStatusObserver(int token) {
    std::lock_guard<std::mutex> lock(observersMutex_);
    statusObservers_.erase(token);
}

void LocalGUI::EnableConnect(bool enabled) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connectEnabled_ = enabled;
        connectColour_ = enabled ? KIVO::graycol : KIVO::darkgraycol;
    }
    notify(LocalGUIView::Field::Connect);
}

void LocalGUI::ShowOutMode(int m) {
    if (!validOutMode(m)) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outModeIndex_ = m;
    }
    notify(LocalGUIView::Field::OutMode);
}

void LocalGUI::buttonaction(int n) {
    (void)n;  // the caller has just stored n in cmdval
    if (Device* device = cam.load()) device->set(cmdval.load());
}

std::string LocalGUI::statusText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::string LocalGUI::outsideStatusText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outsideStatus_;
}

std::string LocalGUI::ipText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ip_;
}

std::string LocalGUI::portText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
}

std::string LocalGUI::localnameText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return localname_;
}

void LocalGUI::setLocalname(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (localname_ == text) return;
        localname_ = text;
    }
    notify(LocalGUIView::Field::LocalName);
}

bool LocalGUI::connectEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectEnabled_;
}

Colour LocalGUI::connectColour() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectColour_;
}

int LocalGUI::outModeIndex() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outModeIndex_;
}

bool LocalGUI::ready() { return scam.load() != nullptr && cam.load() != nullptr; }

void LocalGUI::onInputButton(int n) {
    if (!ready() || n < 1 || n > 16) return;
    cmd = std::to_string(n);
    cmdval = n;
    const Routing::Source source("window");
    buttonaction(cmdval.load());
}

void LocalGUI::onSeloutmode(int index) {
    if (!ready() || !validOutMode(index)) return;
    cam.load()->setoutmode(index);
    ShowStatus(std::string("Output Mode = ") + outmodeItems[index]);
}

void LocalGUI::onLNA(const std::string& text) {
    if (!ready()) return;
    LocalCAM* hub = scam.load();
    if (text.size() >= 2 && text.compare(0, 2, "0x") == 0) {
        const std::string hex = text.substr(2);
        if (hex.size() / 2 > KIVO::maxRawBytes) {
            ShowStatus("Raw command too long: at most " + std::to_string(KIVO::maxRawBytes) + " bytes");
            return;
        }
        ShowStatus("CMD = " + hex);
        const Routing::Source source("window");
        hub->CommandB0(KIVO::S2BS(hex));
        return;
    }
    if (text.empty()) {
        // Every client would be let in with an empty PWD line; start-up refuses one too.
        hub->LookUpHost(text);
        ShowStatus("The password is unchanged: an empty one is not taken");
        return;
    }
    hub->CommandB4(text);
    KIVO::password = text;
}

void LocalGUI::onBgetip() {
    if (!ready()) return;
    // Only the address: the status does not announce a password that did not change.
    scam.load()->LookUpHost(localnameText());
}

void LocalGUI::onBconnect() {
    if (!ready()) return;
    scam.load()->CommandB5();
}

void LocalGUI::onBclose() {
    if (!ready()) return;
    scam.load()->CommandB6();
}

void LocalGUI::onWindowClosing() { LocalCAM::exitNow(); }
