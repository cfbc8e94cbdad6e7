#!/usr/bin/env python3
"""What hostile or careless peers cost a relay: runs each case against a fresh relay on 127.0.0.1
(port 0) and prints one line of numbers per case.

usage: bench/hostile-peers.py build/prynechat-relay [utf8 burst flood shutdown unfinished shrink fds
                                                     freeze slow kernel orphans trickle crowd steady churn]

utf8        a text of 349,526 bytes 0xFF (relayed as 3 bytes each) among three readers
burst       one client sends 9 x 1 MiB at once to four readers (itself included)
flood       1000 non-readers, three readers, one of them floods 4 KiB texts for 6 s
shutdown    200 non-readers after 7 MiB relayed, then SIGTERM: peak memory
unfinished  1000 peers each send a header and 1 MiB - 1 bytes and stop
shrink      100 clients each send one 1 MiB text, then stay idle
fds         the relay under a descriptor limit of 64 with 100 clients: CPU, then recovery
freeze      a flooding sender, two honest readers, one client that never reads: the longest gap an
            honest reader sees in the flood and when the non-reader is dropped (the flood waits
            while a reader holds it back: the fair-room cases below measure the honest chat)
slow        the same with a reader that takes 200 KB/s instead of the non-reader
kernel      N non-readers (HOSTILE_NONREADERS, 1000) under a flood: the relay's kernel send queues
            (ss -tm, the sum of wmem_queued over the relay's connections), at their peak
orphans     100 non-readers under a flood until the relay drops them; one second after the last
            drop: sockets of the relay's port left without an owner, and the bytes they hold
trickle     the freeze case with two clients that each take 64 KiB every 300 ms (a few of them,
            not most of the room): the longest gap and when both are dropped
crowd       five clients that each take 64 KiB every 50 ms (1.3 MB/s), more than half of the
            readers: the longest gap
steady      one such client (1.3 MB/s, counted as a reader all along): the longest gap
churn       a fresh client that never reads joins every 2 s of a 10 s flood: the longest gap
webfreeze   the freeze case with a browser on the web port (--web) that opened the chat and never
            reads instead of the TCP non-reader: the longest gap, when it is dropped, peak memory
webchurn    3,000 browsers come and go on the web port, 1,000 at a time, each sending one text and
            closing: the relay's RSS before, at its peak, and once they are gone
webparts    200 browsers each send 512 KiB as the first frame of a message, never its last, and
            go: the relay's RSS before, at its peak, and once they are gone

The fair-room cases run honest chatters (each a process of its own that sends a 1 KiB text every
50 ms, stamped with the time, and reads everything with 1 MiB reads) beside hostile peers, and print
per case: p50 and p99 of an honest text's latency to the other chatters, the longest gap between two
honest texts at a chatter, the share of time frozen (the gaps' time past 250 ms), honest chatters
dropped, and what happened to the hostile ones:
fastflood   one client sends 64 KiB texts as fast as it can and reads everything (two chatters)
chatters    the same flood beside five chatters
crowd2      the flood, and ten clients that each read 40 KiB every 100 ms, replaced by a fresh ten
            every 5 s
rotating    the flood, and six clients that take 1.5 KiB every 10 ms in two groups that take turns
            to pause 0.6 s every 2 s
laggards    the flood, and a fresh client that takes 300 KB/s every 0.5 s
webflood    a flood of 10 MB/s, and a browser on the web port that reads all it gets: is it dropped?
"""
import json, os, re, select, socket, struct, subprocess, sys, threading, time

RELAY = sys.argv[1]
CASES = sys.argv[2:] or ["utf8", "burst", "flood", "shutdown", "unfinished", "shrink", "fds"]

# The cases open many loopback connections from one address: the per-address limits are lifted
# where the relay has them (an earlier build has not).
OPEN = ["--max-per-address", "0", "--max-joins-per-minute", "0"] \
    if b"--max-per-address" in subprocess.run([RELAY, "--help"], capture_output=True).stdout else []

def start(prefix=()):
    p = subprocess.Popen(list(prefix) + [RELAY, "--port", "0", "--quiet"] + OPEN, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    line = p.stdout.readline().decode()
    port = int(re.search(r":(\d+)\s*$", line).group(1))
    return p, port

def start_web():
    """A relay with its web port too: (process, TCP port, web port)."""
    p = subprocess.Popen([RELAY, "--port", "0", "--quiet", "--web", "127.0.0.1:0"] + OPEN, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    port = int(re.search(r":(\d+)\s*$", p.stdout.readline().decode()).group(1))
    web = int(re.search(r":(\d+)/\s*$", p.stdout.readline().decode()).group(1))
    return p, port, web

def browser(port):
    """A browser's WebSocket on the web port, opened as the page opens it, with the kernel's usual buffers."""
    s = socket.socket(); s.connect(("127.0.0.1", port)); host = f"127.0.0.1:{port}"
    s.sendall((f"GET /chat HTTP/1.1\r\nHost: {host}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               f"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
               f"Origin: http://{host}\r\n\r\n").encode())
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        d = s.recv(1)
        if not d: raise ConnectionError("the relay closed the upgrade")
        head += d
    if not head.startswith(b"HTTP/1.1 101"): raise ConnectionError(head.decode(errors="replace"))
    return s

def stop(p):
    p.terminate()
    try: p.wait(10)
    except subprocess.TimeoutExpired: p.kill(); p.wait()

def status(pid, key):
    try:
        for l in open(f"/proc/{pid}/status"):
            if l.startswith(key + ":"): return int(l.split()[1]) / 1024.0
    except FileNotFoundError: return None

def cpu(pid):
    f = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(f[11]) + int(f[12])) / os.sysconf("SC_CLK_TCK")

def conn(port, rcvbuf=None):
    s = socket.socket()
    if rcvbuf: s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect(("127.0.0.1", port)); return s

def frame(b): return struct.pack(">I", len(b)) + b

class Reader:
    """Reads frames from several sockets in a thread; counts frames, bytes, closes, biggest L."""
    def __init__(self, socks):
        self.socks = list(socks); self.frames = {s: [] for s in socks}; self.buf = {s: b"" for s in socks}
        self.closed = set(); self.maxlen = 0; self.run = True
        self.t = threading.Thread(target=self.loop, daemon=True); self.t.start()
    def loop(self):
        while self.run:
            live = [s for s in self.socks if s not in self.closed]
            if not live: time.sleep(0.05); continue
            r, _, _ = select.select(live, [], [], 0.1)
            for s in r:
                try: d = s.recv(1 << 20)
                except OSError: d = b""
                if not d: self.closed.add(s); continue
                b = self.buf[s] + d
                while len(b) >= 4:
                    (L,) = struct.unpack(">I", b[:4]); self.maxlen = max(self.maxlen, L)
                    if len(b) < 4 + L: break
                    self.frames[s].append(b[4:4 + L]); b = b[4 + L:]
                self.buf[s] = b
    def stop(self): self.run = False; self.t.join()

def wait_until(cond, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if cond(): return True
        time.sleep(0.05)
    return cond()

def case_utf8():
    p, port = start()
    readers = [conn(port) for _ in range(3)]; bad = conn(port)
    r = Reader(readers + [bad]); time.sleep(0.3)
    bad.sendall(frame(b"\xff" * 349526))
    time.sleep(1.5)
    readers[0].sendall(frame(b"still chatting"))
    ok = wait_until(lambda: all(any(f == b"still chatting" for f in r.frames[s]) for s in readers if s not in r.closed), 3)
    time.sleep(0.3)
    print(f"utf8: largest L sent by the relay {r.maxlen}; sender dropped: {bad in r.closed}; "
          f"readers still connected {sum(s not in r.closed for s in readers)}/3; "
          f"0xFF text reached readers: {sum(len(r.frames[s]) > 0 and len(r.frames[s][0]) > 1000 for s in readers)}/3; "
          f"later chat reached {sum(any(f == b'still chatting' for f in r.frames[s]) for s in readers)}/3")
    r.stop(); stop(p)

def case_burst():
    p, port = start()
    socks_ = [conn(port) for _ in range(4)]; time.sleep(0.3)
    r = Reader(socks_)
    payloads = [bytes([65 + i]) * (1 << 20) for i in range(9)]
    socks_[0].sendall(b"".join(frame(x) for x in payloads))
    wait_until(lambda: all(len(r.frames[s]) >= 9 or s in r.closed for s in socks_), 30)
    whole = sum(r.frames[s] == payloads for s in socks_)
    print(f"burst 9 x 1 MiB: clients dropped {len(r.closed)}/4; clients with all 9 whole and in order {whole}/4; "
          f"frames delivered {sum(len(v) for v in r.frames.values())}")
    r.stop(); stop(p)

def case_flood():
    # 3 fast readers, 1000 idle non-readers, one client floods 4 KiB frames at ~5 MB/s for 6 s.
    p, port = start()
    idle = [conn(port, 4096) for _ in range(1000)]
    fast = [conn(port) for _ in range(3)]; time.sleep(1)
    r = Reader(fast)
    body = b"x" * 4092; sent = 0; t0 = time.time(); first_drop = None
    while time.time() - t0 < 6:
        try: fast[0].sendall(b"".join(frame(b"%08d" % (sent + i) + body[8:]) for i in range(12)))
        except OSError: break
        sent += 12
        if r.closed and first_drop is None: first_drop = time.time() - t0
        time.sleep(0.01)
    wait_until(lambda: all(len(r.frames[s]) >= sent or s in r.closed for s in fast), 30)
    idle_open = 0
    for s in idle:
        s.setblocking(False)
        while True:
            try: d = s.recv(1 << 20)
            except BlockingIOError: idle_open += 1; break
            except OSError: break
            if not d: break
    inorder = sum([int(f[:8]) for f in r.frames[s]] == list(range(sent)) for s in fast)
    print(f"flood {sent} x 4 KiB among 1000 non-readers: fast readers dropped {len(r.closed)}/3"
          f" (first after {first_drop}); fast readers with everything in order {inorder}/3; "
          f"non-readers still connected {idle_open}/1000; relay peak RSS {status(p.pid, 'VmHWM'):.1f} MiB")
    r.stop(); stop(p)
    for s in idle + fast: s.close()

def case_shutdown():
    # 200 non-readers while a reading client sends 7 MiB; then SIGTERM.
    p, port = start()
    idle = [conn(port, 4096) for _ in range(200)]
    fast = conn(port); time.sleep(0.5)
    r = Reader([fast])
    total = 7 * 16
    fast.sendall(b"".join(frame(b"y" * (64 * 1024)) for _ in range(total)))
    wait_until(lambda: len(r.frames[fast]) >= total or fast in r.closed, 20)
    time.sleep(1)
    before = status(p.pid, "VmRSS"); hwm = status(p.pid, "VmHWM")
    t0 = time.time(); p.terminate(); peak = hwm
    while p.poll() is None:
        v = status(p.pid, "VmHWM")
        if v: peak = max(peak, v)
        time.sleep(0.005)
    print(f"shutdown with 200 non-readers after 7 MiB relayed: reader got {len(r.frames[fast])}/{total}; RSS before SIGTERM {before:.1f} MiB, "
          f"peak {peak:.1f} MiB, exit after {time.time() - t0:.2f} s")
    r.stop()
    for s in idle: s.close()

def case_unfinished():
    p, port = start()
    base = status(p.pid, "VmRSS"); peers = []
    part = struct.pack(">I", 1 << 20) + b"z" * ((1 << 20) - 1)
    for i in range(1000):
        try:
            s = conn(port); s.setblocking(False); peers.append([s, memoryview(part)])
        except OSError: break
    t0 = time.time()
    while time.time() - t0 < 60:
        pending = [x for x in peers if len(x[1])]
        if not pending: break
        _, w, _ = select.select([], [x[0] for x in pending], [], 1)
        for x in pending:
            if x[0] in w:
                try: n = x[0].send(x[1][:1 << 18]); x[1] = x[1][n:]
                except OSError: x[1] = x[1][:0]
    time.sleep(2)
    rss = status(p.pid, "VmRSS"); hwm = status(p.pid, "VmHWM")
    alive = 0
    for s, _ in peers:
        try: d = s.recv(1)
        except BlockingIOError: alive += 1
        except OSError: pass
    print(f"1000 x (header + 1 MiB - 1): RSS {base:.1f} -> {rss:.1f} MiB (peak {hwm:.1f}); still connected {alive}/1000")
    stop(p)
    for s, _ in peers: s.close()

def case_shrink():
    p, port = start()
    clients = [conn(port) for _ in range(100)]
    r = Reader(clients); time.sleep(0.5)
    base = status(p.pid, "VmRSS")
    for s in clients:
        s.sendall(frame(b"q" * (1 << 20)))
        wait_until(lambda: len(r.frames[clients[-1]]) >= clients.index(s) + 1, 10)
    time.sleep(1.5)
    print(f"100 clients each sent one 1 MiB frame, then idle: RSS {base:.1f} -> {status(p.pid, 'VmRSS'):.1f} MiB")
    r.stop(); stop(p)

def case_fds():
    p, port = start(["prlimit", "--nofile=64:64"])
    peers = []
    for _ in range(100):
        try: peers.append(conn(port))
        except OSError: break
    time.sleep(0.5)
    c0 = cpu(p.pid); time.sleep(2); c1 = cpu(p.pid)
    for s in peers[:60]: s.close()
    time.sleep(1.5)
    late = conn(port); r = Reader([late]); time.sleep(0.3)
    late.sendall(frame(b"back"))
    ok = wait_until(lambda: r.frames[late] == [b"back"], 5)
    print(f"fd limit 64, 100 clients: relay CPU {c1 - c0:.2f} s over 2 s; after 60 closed a new client is served: {ok}")
    r.stop(); stop(p)
    for s in peers: s.close()

def ss_lines(*filters):
    out = subprocess.run(["ss", "-Htn"] + list(filters), capture_output=True, text=True).stdout
    return [l for l in out.splitlines() if l.strip()]

def established(port, peer_port):
    return bool(ss_lines("state", "established", f"( sport = :{port} and dport = :{peer_port} )"))

def flood_with(port, others, seconds, watch=None):
    """One client floods 4 KiB frames for `seconds` and reads what comes back; two honest readers,
    each a process of its own (no lock shared with the flood), note when bytes arrive. Returns
    (flood start, flood end, arrival times per honest reader, bytes per honest reader, when watch()
    first said yes in seconds after the start, how many honest readers were cut off)."""
    honest = [conn(port) for _ in range(2)]
    flooder = conn(port)
    time.sleep(0.5)
    t0 = time.monotonic()
    children = []
    for s in honest:
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            stamps = []; got = 0; cut = False
            s.settimeout(0.1)
            while time.monotonic() < t0 + seconds + 1:
                try: d = s.recv(1 << 20)
                except socket.timeout: continue
                except OSError: cut = True; break
                if not d: cut = True; break
                stamps.append(time.monotonic()); got += len(d)
            with os.fdopen(w, "w") as out: json.dump({"stamps": stamps, "got": got, "cut": cut}, out)
            os._exit(0)
        os.close(w); children.append((pid, r))
    run = [True]; seen = [None]
    def drain():  # no timeout on the socket: it would apply to the flood's sendall too
        while run[0]:
            if not select.select([flooder], [], [], 0.1)[0]: continue
            try:
                if not flooder.recv(1 << 20): break
            except OSError: break
    def watcher():
        while run[0] and watch and seen[0] is None:
            if watch(): seen[0] = time.monotonic() - t0
            time.sleep(0.02)
    threads = [threading.Thread(target=drain, daemon=True), threading.Thread(target=watcher, daemon=True)]
    for t in threads: t.start()
    body = b"f" * 4096; batch = b"".join(frame(body) for _ in range(16))
    while time.monotonic() - t0 < seconds:
        try: flooder.sendall(batch)
        except OSError: break
    t1 = time.monotonic()
    stamps = []; got = []; cut = 0
    for pid, r in children:
        with os.fdopen(r) as inp: result = json.load(inp)
        os.waitpid(pid, 0)
        stamps.append(result["stamps"]); got.append(result["got"]); cut += result["cut"]
    run[0] = False
    for t in threads: t.join()
    for s in honest + [flooder]: s.close()
    return t0, t1, stamps, got, seen[0], cut

def longest_gap(t0, t1, stamps):
    worst = 0.0
    for times in stamps:
        inside = [t for t in times if t0 <= t <= t1]
        if not inside: return t1 - t0
        points = inside + [t1]
        worst = max(worst, max(b - a for a, b in zip(points, points[1:])), inside[0] - t0)
    return worst

def case_freeze():
    p, port = start()
    idle = conn(port)  # the kernel's usual buffers; it never reads
    idle_port = idle.getsockname()[1]
    t0, t1, stamps, got, dropped, cut = flood_with(port, [idle], 6, lambda: not established(port, idle_port))
    print(f"freeze: longest gap an honest reader saw {longest_gap(t0, t1, stamps) * 1000:.0f} ms; "
          f"non-reader dropped after {'%.2f s' % dropped if dropped is not None else 'not within 6 s'}; "
          f"honest readers took {got[0] / 1e6:.0f} and {got[1] / 1e6:.0f} MB in 6 s, {cut} of them cut off")
    idle.close(); stop(p)

def case_webfreeze():
    p, port, web = start_web()
    idle = browser(web)  # never reads
    idle_port = idle.getsockname()[1]
    t0, t1, stamps, got, dropped, cut = flood_with(port, [idle], 6, lambda: not established(web, idle_port))
    print(f"webfreeze: longest gap an honest reader saw {longest_gap(t0, t1, stamps) * 1000:.0f} ms; "
          f"non-reading browser dropped after {'%.2f s' % dropped if dropped is not None else 'not within 6 s'}; "
          f"honest readers took {got[0] / 1e6:.0f} and {got[1] / 1e6:.0f} MB in 6 s, {cut} of them cut off; "
          f"relay peak RSS {status(p.pid, 'VmHWM'):.1f} MiB")
    idle.close(); stop(p)

def ws_frame(first, payload):
    """A browser's frame, masked with a zero key, so the payload goes as it is."""
    n = len(payload)
    size = bytes([0x80 | n]) if n < 126 else b"\xfe" + struct.pack(">H", n) if n < 65536 else b"\xff" + struct.pack(">Q", n)
    return bytes([first]) + size + b"\0\0\0\0" + payload

def web_memory(name, rounds, count, send):
    """Rounds of `count` browsers that each get send(socket, index), then close: the relay's RSS
    before, at its peak, and 3 s after its web port holds no connection any more."""
    p, port, web = start_web(); time.sleep(1); before = status(p.pid, "VmRSS")
    for r in range(rounds):
        socks = [browser(web) for _ in range(count)]
        for i, s in enumerate(socks): send(s, r * count + i)
        for s in socks:
            try: s.sendall(ws_frame(0x88, struct.pack(">H", 1001)))
            except OSError: pass
            s.close()
    peak = status(p.pid, "VmHWM")
    t0 = time.time(); gone = wait_until(lambda: not ss_lines(f"( sport = :{web} )"), 30)
    t1 = time.time(); time.sleep(3)
    print(f"{name}: relay RSS {before:.1f} MiB before, peak {peak:.1f} MiB, {status(p.pid, 'VmRSS'):.1f} MiB "
          f"3 s after the last connection went ({'%.1f s' % (t1 - t0) if gone else 'not within 30 s'} after the last close)")
    stop(p)

def case_webchurn():
    web_memory("webchurn", 3, 1000, lambda s, i: s.sendall(ws_frame(0x81, b"browser %d says hello" % i)))

def case_webparts():
    part = ws_frame(0x01, b"f" * (512 * 1024))
    def send(s, i):
        try: s.sendall(part)
        except OSError: pass  # dropped for the room's budget on unfinished input
    web_memory("webparts", 1, 200, send)

def case_slow():
    p, port = start()
    slow = conn(port); slow_port = slow.getsockname()[1]; run = [True]; taken = [0]
    def trickle():  # 200 KB/s in reads of 20 KB every 0.1 s
        slow.settimeout(0.1)
        while run[0]:
            try:
                d = slow.recv(20000)
                if not d: break
                taken[0] += len(d)
            except socket.timeout: pass
            except OSError: break
            time.sleep(0.1)
    t = threading.Thread(target=trickle, daemon=True); t.start()
    t0, t1, stamps, got, dropped, cut = flood_with(port, [slow], 6, lambda: not established(port, slow_port))
    run[0] = False; t.join()
    print(f"slow reader (200 KB/s): longest gap an honest reader saw {longest_gap(t0, t1, stamps) * 1000:.0f} ms; "
          f"slow reader dropped after {'%.2f s' % dropped if dropped is not None else 'not within 6 s'} "
          f"(it took {taken[0] / 1e6:.1f} MB); honest readers took {got[0] / 1e6:.0f} and {got[1] / 1e6:.0f} MB in 6 s, "
          f"{cut} of them cut off")
    slow.close(); stop(p)

class Tricklers:
    """Clients that each take `chunk` bytes every `period` s, enough to stay counted as readers
    (loopback opens a window a segment, 64 KiB, at a time), far slower than a flood."""
    def __init__(self, port, count, period=0.3):
        self.socks = [conn(port) for _ in range(count)]
        self.ports = [s.getsockname()[1] for s in self.socks]
        self.run = True; self.period = period
        self.t = threading.Thread(target=self.loop, daemon=True); self.t.start()
    def loop(self):
        alive = list(self.socks)
        while self.run and alive:
            for s in list(alive):
                try:
                    if not s.recv(65536, socket.MSG_DONTWAIT): alive.remove(s)
                except BlockingIOError: pass
                except OSError: alive.remove(s)
            time.sleep(self.period)
    def stop(self):
        self.run = False; self.t.join()
        for s in self.socks: s.close()

def trickling(count, seconds, name, period=0.3):
    p, port = start()
    slow = Tricklers(port, count, period)
    t0, t1, stamps, got, dropped, cut = flood_with(
        port, slow.socks, seconds, lambda: not any(established(port, each) for each in slow.ports))
    slow.stop()
    print(f"{name}: {count} clients taking 64 KiB every {period} s: longest gap an honest reader saw "
          f"{longest_gap(t0, t1, stamps) * 1000:.0f} ms; all of them dropped after "
          f"{'%.2f s' % dropped if dropped is not None else 'not within %d s' % seconds}; "
          f"honest readers took {got[0] / 1e6:.0f} and {got[1] / 1e6:.0f} MB in {seconds} s, {cut} of them cut off")
    stop(p)

def case_trickle():
    trickling(2, 8, "trickle")

def case_crowd():
    trickling(5, 8, "crowd", 0.05)

def case_steady():
    trickling(1, 8, "steady", 0.05)

def case_churn():
    p, port = start()
    joined = []; run = [True]
    def join():  # a fresh non-reader every 2 s while the flood runs
        while run[0] and len(joined) < 5:
            joined.append(conn(port)); time.sleep(2)
    t = threading.Thread(target=join, daemon=True); t.start()
    t0, t1, stamps, got, _, cut = flood_with(port, [], 10)
    run[0] = False; t.join()
    ports = [s.getsockname()[1] for s in joined]
    left = sum(established(port, each) for each in ports)
    print(f"churn: {len(joined)} non-readers joining 2 s apart: longest gap an honest reader saw "
          f"{longest_gap(t0, t1, stamps) * 1000:.0f} ms; {left} of them still connected at the end; "
          f"honest readers took {got[0] / 1e6:.0f} and {got[1] / 1e6:.0f} MB in 10 s, {cut} of them cut off")
    for s in joined: s.close()
    stop(p)

def send_queues(port):
    """Sum of wmem_queued (skmem's w) over every socket of the relay's port, and their count."""
    out = subprocess.run(["ss", "-Htnm", f"( sport = :{port} )"], capture_output=True, text=True).stdout
    queued = [int(m) for m in re.findall(r"skmem:\([^)]*?,w(\d+)", out)]
    return sum(queued), len(queued)

def case_kernel():
    count = int(os.environ.get("HOSTILE_NONREADERS", "1000"))
    p, port = start()
    idle = [conn(port) for _ in range(count)]
    peak = [0, 0]; run = [True]
    def sample():
        while run[0]:
            total, sockets = send_queues(port)
            if total > peak[0]: peak[0], peak[1] = total, sockets
            time.sleep(0.2)
    t = threading.Thread(target=sample, daemon=True); t.start()
    t0, t1, stamps, got, _, cut = flood_with(port, idle, 4)
    run[0] = False; t.join()
    print(f"kernel: {count} non-readers under a flood: the relay's send queues held at most "
          f"{peak[0] / 2**20:.1f} MiB in all ({peak[1]} sockets); relay peak RSS {status(p.pid, 'VmHWM'):.1f} MiB; "
          f"longest gap an honest reader saw {longest_gap(t0, t1, stamps) * 1000:.0f} ms, {cut} of 2 cut off")
    stop(p)
    for s in idle: s.close()

def case_orphans():
    p, port = start()
    idle = [conn(port) for _ in range(100)]
    ports = {s.getsockname()[1] for s in idle}
    def all_dropped():
        lines = ss_lines("state", "established", f"( sport = :{port} )")
        return not any(int(l.split()[-1].rsplit(":", 1)[1]) in ports for l in lines)
    t0, t1, stamps, got, dropped, cut = flood_with(port, idle, 8, all_dropped)
    if dropped is not None:
        time.sleep(max(0.0, dropped + 1.0 - (time.monotonic() - t0)))
    left = ss_lines("state", "fin-wait-1", f"( sport = :{port} )") + ss_lines("state", "fin-wait-2", f"( sport = :{port} )") \
        + ss_lines("state", "last-ack", f"( sport = :{port} )") + ss_lines("state", "closing", f"( sport = :{port} )")
    held = sum(int(l.split()[1]) for l in left)
    print(f"orphans: 100 non-readers {'dropped after %.2f s' % dropped if dropped is not None else 'not all dropped within 8 s'}; "
          f"one second later {len(left)} sockets of the relay's port without an owner, holding {held / 1e6:.1f} MB")
    stop(p)
    for s in idle: s.close()

def chatter(port, ident, t0, seconds, out, web=None):
    """An honest client in a process of its own: one stamped 1 KiB text every 50 ms, 1 MiB reads.
    Writes what it saw as JSON: [sender, sent at, arrived at] for every honest text, and whether
    the relay cut it off."""
    pid = os.fork()
    if pid:
        return pid
    s = conn(port); s.setblocking(False)
    seen = []; buf = b""; cut = False; nxt = t0
    while time.monotonic() < t0 + seconds + 1:
        now = time.monotonic()
        if now >= nxt and now < t0 + seconds:
            body = f"chat {ident} {now:.6f} ".encode().ljust(1024, b".")
            try: s.sendall(frame(body))
            except (BlockingIOError, OSError): pass
            nxt += 0.05
        if not select.select([s], [], [], max(0.0, min(0.01, nxt - time.monotonic())))[0]: continue
        try: d = s.recv(1 << 20)
        except BlockingIOError: continue
        except OSError: cut = True; break
        if not d: cut = True; break
        arrived = time.monotonic(); buf += d; at = 0
        while len(buf) - at >= 4:  # an offset, not a copy per frame: floods come in 64 KiB texts
            (L,) = struct.unpack_from(">I", buf, at)
            if len(buf) - at < 4 + L: break
            if buf.startswith(b"chat ", at + 4):
                _, who, sent = buf[at + 4:at + 64].split(b" ")[:3]
                seen.append([int(who), float(sent), arrived])
            at += 4 + L
        buf = buf[at:]
    with open(out, "w") as f: json.dump({"seen": seen, "cut": cut}, f)
    os._exit(0)

def flooder(port, t0, seconds, size=65536, rate=None):
    """Floods `size` texts as fast as it can (or at `rate` bytes a second) and reads everything,
    in a process of its own; flood_end() waits for it and tells what it sent and whether it was
    cut off."""
    out = f"/tmp/flood-{os.getpid()}-{time.monotonic_ns()}.json"
    pid = os.fork()
    if pid:
        return pid, out
    s = conn(port); s.setblocking(False); body = frame(b"f" * size); sent = 0; pending = b""; cut = False
    while time.monotonic() < t0 + seconds:
        if rate and sent > rate * (time.monotonic() - t0): pending_ok = False
        else: pending_ok = True
        if not pending and pending_ok: pending = body
        r, w, _ = select.select([s], [s] if pending else [], [], 0.01)
        try:
            if r and not s.recv(1 << 20): cut = True; break
            if w and pending:
                n = s.send(pending); pending = pending[n:]; sent += n
        except BlockingIOError: pass
        except OSError: cut = True; break
    with open(out, "w") as f: json.dump({"sent": sent, "cut": cut}, f)
    os._exit(0)

def flood_end(flood):
    os.waitpid(flood[0], 0)
    got = json.load(open(flood[1])); os.unlink(flood[1])
    return f"the flooder sent {got['sent'] / 1e6:.0f} MB and {'was dropped' if got['cut'] else 'stayed'}"

def fair_case(name, seconds, hostile, chatters=2, web=False):
    """Runs `chatters` honest chatters and a flood for `seconds` beside hostile(port, t0, seconds,
    web port), which returns a line about the hostile peers; prints the honest numbers."""
    p, port, webport = start_web() if web else start() + (None,)
    t0 = time.monotonic() + 0.5
    outs = [f"/tmp/fair-{os.getpid()}-{i}.json" for i in range(chatters)]
    pids = [chatter(port, i, t0, seconds, outs[i]) for i in range(chatters)]
    time.sleep(0.3)
    about = hostile(port, t0, seconds, webport)
    for pid in pids: os.waitpid(pid, 0)
    latencies = []; worst_gap = 0.0; frozen = 0.0; cut = 0
    for i, out in enumerate(outs):
        got = json.load(open(out)); os.unlink(out); cut += got["cut"]
        others = [x for x in got["seen"] if x[0] != i]
        latencies += [arrived - at for _, at, arrived in others]
        times = [t0] + sorted(arrived for _, _, arrived in others if arrived <= t0 + seconds) + [t0 + seconds]
        gaps = [b - a for a, b in zip(times, times[1:])]
        worst_gap = max(worst_gap, max(gaps)); frozen = max(frozen, sum(g - 0.25 for g in gaps if g > 0.25) / seconds)
    latencies.sort()
    q = lambda f: latencies[min(len(latencies) - 1, int(f * len(latencies)))] * 1000 if latencies else float("nan")
    print(f"{name}: honest p50 {q(0.5):.0f} ms, p99 {q(0.99):.0f} ms, longest gap {worst_gap * 1000:.0f} ms, "
          f"frozen {frozen * 100:.1f} %, {cut} of {chatters} chatters dropped; {about}")
    stop(p)

def alive(port, socks):
    return sum(established(port, s.getsockname()[1]) for s in socks)

def pace(socks, chunk, period, seconds, t0, paused=lambda i, now: False):
    """Reads `chunk` bytes from each socket every `period` s until t0 + seconds, in a thread."""
    def loop():
        while time.monotonic() < t0 + seconds:
            now = time.monotonic()
            for i, s in enumerate(list(socks)):
                if paused(i, now): continue
                try: s.recv(chunk, socket.MSG_DONTWAIT)
                except (BlockingIOError, OSError): pass
            time.sleep(period)
    t = threading.Thread(target=loop, daemon=True); t.start(); return t

def case_fastflood(chatters=2, name="fastflood"):
    def hostile(port, t0, seconds, _):
        return flood_end(flooder(port, t0, seconds))
    fair_case(name, 8, hostile, chatters)

def case_chatters():
    case_fastflood(5, "chatters")

def case_crowd2():
    def hostile(port, t0, seconds, _):
        f = flooder(port, t0, seconds); batches = 0; dropped = 0
        while time.monotonic() < t0 + seconds:
            batch = [conn(port) for _ in range(10)]; batches += 1
            pace(batch, 40 * 1024, 0.1, time.monotonic() - t0 + 5, t0)
            time.sleep(max(0.0, min(5.0, t0 + seconds - time.monotonic())))
            dropped += 10 - alive(port, batch)
            for s in batch: s.close()
        return f"{dropped} of {10 * batches} crowd clients dropped within their 5 s; " + flood_end(f)
    fair_case("crowd", 12, hostile)

def case_rotating():
    def hostile(port, t0, seconds, _):
        f = flooder(port, t0, seconds); six = [conn(port) for _ in range(6)]
        pace(six, 1536, 0.01, seconds, t0, lambda i, now: ((now - t0) + (i % 2)) % 2.0 < 0.6)
        about = flood_end(f)
        left = alive(port, six)
        for s in six: s.close()
        return f"{6 - left} of 6 rotating readers dropped; " + about
    fair_case("rotating", 10, hostile)

def case_laggards():
    def hostile(port, t0, seconds, _):
        f = flooder(port, t0, seconds); lag = []
        while time.monotonic() < t0 + seconds:
            lag.append(conn(port)); pace(lag[-1:], 30000, 0.1, seconds, t0); time.sleep(0.5)
        about = flood_end(f)
        left = alive(port, lag)
        for s in lag: s.close()
        return f"{len(lag) - left} of {len(lag)} laggards dropped; " + about
    fair_case("laggards", 10, hostile)

def case_webflood():
    def hostile(port, t0, seconds, webport):
        b = browser(webport); got = [0]
        def drain():
            b.settimeout(0.1)
            while time.monotonic() < t0 + seconds:
                try:
                    d = b.recv(1 << 20)
                    if not d: break
                    got[0] += len(d)
                except socket.timeout: pass
                except OSError: break
        t = threading.Thread(target=drain, daemon=True); t.start()
        about = flood_end(flooder(port, t0, seconds, rate=10e6)); t.join()
        kept = established(webport, b.getsockname()[1]); b.close()
        return f"the browser {'stayed' if kept else 'was dropped'} and took {got[0] / 1e6:.0f} MB; " + about
    fair_case("webflood", 10, hostile, web=True)

for c in CASES:
    globals()["case_" + c]()
