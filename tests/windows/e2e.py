#!/usr/bin/env python3
"""End-to-end checks of the Windows build under Wine.

The Wine prefix's COM1 is a Linux pseudo-terminal this driver holds the other end of. Every server
listens on 127.0.0.1 only. Checks:
  help    kivonet.exe --help names the parts this build lacks (the web page, --simulate) and why
  road    kivonet-config.exe writes c:\\KIVONetCFG.txt (the default place) for COM1; kivonet.exe
          --headless reads it, sets the line to 9600 8N1 (read back with stty) and a client's Set5
          puts FE 01 05 and, 50 ms or more later, FE 02 05 on the line; a router-protocol client's
          selection of input 7 for output 2 puts FE 02 07 on the line and is acknowledged
  in-use  a second server on the same COM1 reports "Port is in use" and still serves its clients
  unplug  COM1's pseudo-terminal closed and its link removed (the adapter pulled): the server says the
          line is lost; a new pseudo-terminal linked as COM1 (plugged back): the server says it is
          back and restores the routing (FE 01 05 FE 02 07), then serves the next selection
  stop    Ctrl-C (SIGINT to the Wine process) ends the server with status 0
  window  under Xvfb the window is titled "KIVONet"; a click on input button 16 puts FE 01 10 and
          FE 02 10 on the line; a screenshot is saved
Usage: e2e.py BUILD_DIR [--screenshot FILE] [--only help,road,in-use,unplug,stop,window]
Needs: WINEPREFIX set up (scripts/run-windows-tests does it), python3, stty, Xvfb, xdotool, import.
"""
import argparse
import os
import pty
import select
import shutil
import signal
import socket
import subprocess
import sys
import termios
import threading
import time
import tty

WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
FAILURES = []
PASSED = []


def check(condition, what):
    print(("ok      " if condition else "FAILED  ") + what, flush=True)
    (PASSED if condition else FAILURES).append(what)
    return condition


class Line:
    """The selector's end of COM1: a pseudo-terminal whose other end the prefix's com1 names."""

    def __init__(self, prefix):
        self.master, self.slave = pty.openpty()
        self.path = os.ttyname(self.slave)
        # Raw, but with settings the server has to change: 38400 bit/s, 2 stop bits, RTS/CTS.
        tty.setraw(self.master)
        attrs = termios.tcgetattr(self.master)
        attrs[4] = attrs[5] = termios.B38400
        attrs[2] |= termios.CSTOPB | termios.CRTSCTS
        termios.tcsetattr(self.master, termios.TCSANOW, attrs)
        # Wine links the COM ports to the machine's serial devices whenever it starts, unless the
        # registry names a device for the port; the link is also set here for the Wine already running.
        subprocess.run([WINE, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/d", self.path,
                        "/f"], capture_output=True, timeout=120, check=True)
        link = os.path.join(prefix, "dosdevices", "com1")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(self.path, link)

    def read(self, count, seconds=10.0):
        """Up to count bytes as (value, arrival time), as many as came in time."""
        got = []
        deadline = time.monotonic() + seconds
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            chunk = os.read(self.master, count - len(got))
            now = time.monotonic()
            got.extend((b, now) for b in chunk)
        return got

    def drain(self):
        """Drops what the line holds, such as another server's start-up frames."""
        while self.read(64, 0.5):
            pass

    def stty(self):
        return subprocess.run(["stty", "-F", self.path, "-a"], capture_output=True, text=True).stdout

    def close(self):
        if self.master is not None:  # once: a pulled line is closed already
            os.close(self.master)
            os.close(self.slave)
            self.master = self.slave = None

    def pull(self, prefix):
        """The adapter pulled: the line hangs up and COM1 names no device."""
        self.close()
        os.remove(os.path.join(prefix, "dosdevices", "com1"))


class Server:
    """kivonet.exe under Wine; its console lines are collected by a reader thread."""

    def __init__(self, build, args, env=None):
        self.failures_before = len(FAILURES)
        self.lines = []
        self.lock = threading.Lock()
        self.proc = subprocess.Popen([WINE, os.path.join(build, "kivonet.exe")] + args,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, env=env or os.environ.copy(),
                                     cwd=build)  # its state file, kivonet.state, goes there
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.lock:
                self.lines.append(raw.decode("latin-1").rstrip("\r\n"))

    def console(self):
        with self.lock:
            return list(self.lines)

    def wait_for(self, text, seconds=60.0):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if any(text in line for line in self.console()):
                return True
            if self.proc.poll() is not None:
                time.sleep(0.2)
                return any(text in line for line in self.console())
            time.sleep(0.05)
        return False

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(30)
        if len(FAILURES) > self.failures_before:
            print("        console of kivonet.exe %s:" % " ".join(self.proc.args[2:]), flush=True)
            for line in self.console():
                print("        | " + line, flush=True)


class Client:
    """A client of the line protocol: lines end with CR LF."""

    def __init__(self, port, seconds=30.0):
        deadline = time.monotonic() + seconds
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        self.buffer = b""

    def receive_until(self, wanted, seconds):
        """Receives until the buffer holds `wanted`; False when time ran out or the server closed."""
        deadline = time.monotonic() + seconds
        while wanted not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return False
            chunk = self.sock.recv(4096)
            if not chunk:
                return False
            self.buffer += chunk
        return True

    def read_line(self, seconds=10.0):
        if not self.receive_until(b"\r\n", seconds):
            return None
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode("latin-1")

    def send(self, line):
        self.sock.sendall(line.encode("latin-1") + b"\r\n")

    def close(self):
        self.sock.close()


class RouterClient(Client):
    """A client of the router protocol: blocks of LF-ended lines, each block ended by an empty line."""

    def wait_for(self, text, seconds=10.0):
        wanted = text.encode("latin-1")
        if not self.receive_until(wanted, seconds):
            return False
        self.buffer = self.buffer.split(wanted, 1)[1]
        return True

    def send_block(self, text):
        self.sock.sendall(text.encode("latin-1"))


def free_port():
    """A free TCP port the configuration record can hold (2873..3128)."""
    start = os.getpid() % 256
    for i in range(256):
        port = 2873 + (start + i) % 256
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port in 2873..3128")


def config_tool(build, *args):
    return subprocess.run([WINE, os.path.join(build, "kivonet-config.exe")] + list(args),
                          capture_output=True, text=True, timeout=120)


def frames(value):
    return [0xFE, 0x01, value, 0xFE, 0x02, value]


def start_server(build, port, args, env=None):
    server = Server(build, ["--listen", "127.0.0.1"] + args, env)
    opened = server.wait_for("Server Socket Opened OK at Port %d" % port, 120)
    check(opened, "server opened its socket at port %d" % port)
    return server


def road(build, prefix, line):
    port = free_port()
    record = os.path.join(prefix, "drive_c", "KIVONetCFG.txt")
    result = config_tool(build, "write", "c:\\KIVONetCFG.txt", "--com", "1", "--tcp-port", str(port),
                         "--outmode", "2")
    check(result.returncode == 0 and os.path.getsize(record) == 6,
          "kivonet-config.exe wrote the record to the root of drive C")
    shown = config_tool(build, "show")
    check("Serial port:            COM1" in shown.stdout and str(port) in shown.stdout,
          "kivonet-config.exe shows the default record")

    server = start_server(build, port, ["--headless", "--router-port", "0"])
    try:
        start = [b for b, _ in line.read(6, 60)]
        check(start == frames(1), "start-up selects input 1 on both outputs: %s" % start)
        settings = line.stty()
        check("speed 9600 baud" in settings, "line speed 9600")
        flags = settings.split()
        check("cs8" in flags and "-parenb" in flags and "-cstopb" in flags and "-crtscts" in flags,
              "8 data bits, no parity, 1 stop bit, no RTS/CTS")

        client = Client(port)
        check(client.read_line() == "OK", "client greeted with OK")
        client.send("Set5")
        got = line.read(6, 20)
        values = [b for b, _ in got]
        check(values == frames(5), "Set5 puts FE 01 05 FE 02 05 on the line: %s" % values)
        if len(got) == 6:
            gap = got[3][1] - got[2][1]
            check(gap >= 0.050, "the two frames are %.0f ms apart (50 ms or more)" % (gap * 1000))
        check(server.wait_for("Selected Input #5", 20), "console shows the selection")
        client.close()
        router_face(server, line)
        return server, port
    except BaseException:
        server.stop()
        raise


def router_face(server, line):
    """The router-protocol face: a client's selection goes on the line and is acknowledged."""
    if not check(server.wait_for("Router protocol on port", 30), "the router-protocol face started"):
        return
    opened = [l for l in server.console() if "Router protocol on port" in l][0]
    router = RouterClient(int(opened.rsplit(" ", 1)[1]))
    try:
        check(router.wait_for("END PRELUDE:\n\n"), "router client receives the prelude")
        router.send_block("VIDEO OUTPUT ROUTING:\n1 6\n\n")
        values = [b for b, _ in line.read(3, 20)]
        check(values == [0xFE, 0x02, 0x07], "router selection puts FE 02 07 on the line: %s" % values)
        check(router.wait_for("ACK\n\n"), "router client's selection acknowledged")
    finally:
        router.close()


def show_help(build):
    """--help says which parts the build lacks, and why."""
    result = subprocess.run([WINE, os.path.join(build, "kivonet.exe"), "--help"],
                            capture_output=True, text=True, timeout=120)
    lacking = result.stdout.replace("\r\n", "\n").partition("Not in this build:\n")[2]
    check(result.returncode == 0 and "--router-port" in result.stdout, "kivonet.exe --help lists the options")
    check("--http-port" in lacking and "HTTP library" in lacking, "--help: no web page, and why")
    check("--simulate" in lacking and "pseudo-terminal" in lacking, "--help: no simulated selector, and why")
    check("--router-port" not in lacking and "control window" not in lacking,
          "--help: the window and the router-protocol face are in this build")


def in_use(build, prefix, line):
    """A second server finds COM1 taken by the first and still serves clients."""
    port = free_port()
    other = os.path.join(prefix, "drive_c", "second.txt")
    config_tool(build, "write", "c:\\second.txt", "--com", "1", "--tcp-port", str(port))
    check(os.path.exists(other), "second record written")
    # A state file of its own: one file serves one server.
    server = start_server(build, port, ["--headless", "--config", "c:\\second.txt", "--state-file", "c:\\second.state"])
    try:
        if server.wait_for("COM1  KIVO16", 30) and not server.wait_for("Port is in use", 1):
            # Wine keeps a serial device's share mode to itself: both servers open COM1.
            print("note    Wine let a second server open COM1, which Windows refuses: not checked here",
                  flush=True)
        else:
            check(server.wait_for("Port is in use", 30), "second server reports COM1 in use")
        client = Client(port)
        check(client.read_line() == "OK", "second server still serves a client")
        client.close()
    finally:
        server.stop()
        line.drain()


def unplug(server, port, prefix, line):
    """Pulls COM1 and plugs a new one in; gives the new line."""
    line.pull(prefix)
    client = Client(port)
    try:
        check(client.read_line() == "OK", "client served while the line is pulled")
        client.send("Set9")  # a write, in case the driver noticed nothing while idle
        check(server.wait_for("Serial device COM1 lost", 20), "the pulled line is reported lost")
        line = Line(prefix)
        check(server.wait_for("Serial device COM1 back", 20), "the line plugged back is reported back")
        values = [b for b, _ in line.read(6, 20)]
        check(values == [0xFE, 0x01, 0x05, 0xFE, 0x02, 0x07],
              "plugged back, the routing is restored (FE 01 05 FE 02 07): %s" % values)
        client.send("Set3")
        values = [b for b, _ in line.read(6, 20)]
        check(values == frames(3), "the next selection reaches the new line: %s" % values)
    finally:
        client.close()
    return line


def stop_with_ctrl_c(server):
    server.proc.send_signal(signal.SIGINT)
    try:
        status = server.proc.wait(60)
    except subprocess.TimeoutExpired:
        status = None
    check(status == 0, "Ctrl-C ends the server with status 0 (got %s)" % status)
    server.stop()


def window(build, prefix, line, screenshot):
    for tool in ("Xvfb", "xdotool", "import"):
        if not shutil.which(tool):
            check(False, "window check needs " + tool)
            return
    display = ":%d" % (90 + os.getpid() % 100)
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = os.environ.copy()
    env["DISPLAY"] = display
    server = None
    try:
        time.sleep(1.0)
        port = free_port()
        config_tool(build, "write", "c:\\KIVONetCFG.txt", "--com", "1", "--tcp-port", str(port),
                    "--outmode", "2")
        # A windowed server shows its status lines in the window, not on the console.
        server = Server(build, ["--listen", "127.0.0.1"], env)
        start = [b for b, _ in line.read(6, 60)]
        check(start == frames(1), "windowed start-up selects input 1: %s" % start)
        win = None
        deadline = time.monotonic() + 60
        while win is None and time.monotonic() < deadline:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^KIVONet$"],
                                   capture_output=True, text=True, env=env).stdout.split()
            win = found[0] if found else None
            time.sleep(0.3)
        if not check(win is not None, 'a window titled "KIVONet" is shown'):
            return
        time.sleep(2.0)  # let the window draw itself before the picture is taken
        if screenshot:
            subprocess.run(["import", "-window", win, screenshot], env=env, timeout=60)
            check(os.path.exists(screenshot), "screenshot saved to " + screenshot)
        # Input button 16: second row of eight 37-wide buttons, the last one.
        subprocess.run(["xdotool", "mousemove", "--window", win, str(5 + 37 * 7 + 18), str(70 + 12),
                        "click", "1"], env=env, timeout=60)
        values = [b for b, _ in line.read(6, 20)]
        check(values == frames(16), "a click on input button 16 puts FE 01 10 FE 02 10 on the line: %s"
              % values)
    finally:
        if server:
            server.stop()
        xvfb.terminate()
        xvfb.wait(10)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--screenshot")
    parser.add_argument("--only", default="help,road,in-use,unplug,stop,window")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    prefix = os.environ["WINEPREFIX"]
    wanted = set(args.only.split(","))
    if "help" in wanted:
        show_help(build)
    line = Line(prefix)
    try:
        if wanted & {"road", "in-use", "unplug", "stop"}:
            server, port = road(build, prefix, line)
            try:
                if "in-use" in wanted:
                    in_use(build, prefix, line)
                if "unplug" in wanted:
                    line = unplug(server, port, prefix, line)
            finally:
                if "stop" in wanted:
                    stop_with_ctrl_c(server)
                else:
                    server.stop()
        if "window" in wanted:
            window(build, prefix, line, args.screenshot)
    finally:
        line.close()
    print("e2e: %d passed, %d failed" % (len(PASSED), len(FAILURES)), flush=True)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
