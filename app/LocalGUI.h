#pragma once
// The control window's state and display operations, independent of any toolkit. The hub, the client
// session and the driver only talk to this class; a toolkit layer (the FLTK window) attaches a view that
// is told of every change and draws the state, and calls the listener operations below on its event
// thread. With no view attached (headless, tests) the state is still kept, so everything works and can
// be checked without a display.
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/Guarded.h"
#include "app/KIVO.h"

class LocalCAM;
class Device;
class LocalGUI;

// Implemented by a toolkit layer. Each call may come from any thread; the view must hand the change to
// its own event thread (FLTK: Fl::lock/Fl::unlock/Fl::awake).
class LocalGUIView {
public:
    virtual ~LocalGUIView() = default;
    enum class Field { Status, IP, Connect, OutMode, LocalName };
    virtual void changed(Field field) = 0;
};

class LocalGUI {
public:
    static constexpr Colour blackcol{0, 0, 0};
    static constexpr Colour backcol{100, 120, 240};
    static constexpr int GUIwidth = KIVO::appwidth;
    static std::atomic<LocalCAM*> scam;   // set by start-up once the hub exists
    static std::atomic<Device*> cam;      // taken from KIVO::cam when the first window is built
    static Guarded<std::string> cmd;      // "Set1" at start; then the last input button's command text
    static std::atomic<int> cmdval;       // 1 at start
    static constexpr int h = 24;          // row height
    static constexpr int w = 37;          // input button width
    static const char* const outmodeItems[3];

    // Set by the toolkit layer before the hub is built; when empty no window is drawn.
    static std::function<std::unique_ptr<LocalGUIView>(LocalGUI&)> viewFactory;

    LocalGUI(int port, const std::string& devtype);
    virtual ~LocalGUI();
    LocalGUI(const LocalGUI&) = delete;
    LocalGUI& operator=(const LocalGUI&) = delete;

    // Display operations (any thread; the last call wins).
    virtual void ShowIP(const std::optional<std::string>& address);  // nullopt shows "null"
    virtual void ShowStatus(const std::string& text);
    // The window's status field shows `text`; the console (headless) and the status observers
    // (the other faces) get `outsideText`, the same line with a password replaced by "***".
    void ShowStatus(const std::string& text, const std::string& outsideText);
    virtual void EnableConnect(bool enabled);
    virtual void ShowOutMode(int m);
    static void buttonaction(int n);

    // Told of every status-line text (as it leaves the window: no password) after it is stored, on the thread that shows it (the session,
    // the timer, the window, a router or web worker). An observer must be quick and never block:
    // it hands the text on to its own thread. A removed observer may still be running once.
    using StatusObserver = std::function<void(const std::string&)>;
    int addStatusObserver(StatusObserver observer);
    void removeStatusObserver(int token);

    // State as the view draws it (any thread).
    std::string statusText() const;
    // The latest status line as the other faces may show it (a password replaced by "***").
    std::string outsideStatusText() const;
    std::string ipText() const;
    std::string portText() const;
    std::string localnameText() const;
    void setLocalname(const std::string& text);   // the hub puts the password here; the view mirrors edits
    bool connectEnabled() const;
    Colour connectColour() const;
    int outModeIndex() const;

    // Listeners, called on the toolkit's event thread. Actions that arrive before start-up has handed
    // the window its hub are ignored.
    void onInputButton(int n);                 // bset1..bset16
    void onSeloutmode(int index);              // item chosen by the user
    void onLNA(const std::string& text);       // Enter in Host/PWD
    void onBgetip();                           // "Get IP Address"
    void onBconnect();                         // "Let Client Connect"
    void onBclose();                           // "Close"
    [[noreturn]] static void onWindowClosing();  // ends the program, exit status 0

private:
    void notify(LocalGUIView::Field field);
    void notifyView(LocalGUIView::Field field);
    void setStatus(const std::string& text, const std::string& outsideText);
    // The hub and device as the listeners see them: both null until start-up has handed over the hub.
    static bool ready();

    mutable std::mutex mutex_;
    std::string status_;
    std::string outsideStatus_;
    std::string ip_;
    std::string port_;
    std::string localname_;
    bool connectEnabled_ = false;
    Colour connectColour_ = KIVO::darkgraycol;
    int outModeIndex_ = 0;
    std::unique_ptr<LocalGUIView> view_;
    std::mutex observersMutex_;
    std::map<int, StatusObserver> statusObservers_;
    int nextObserver_ = 1;
};
