#!/usr/bin/python3
"""station --http with boards played by quorvane-sim: the API ("api"), or the
page in headless Chromium driven by Selenium ("browser", which also saves a
screenshot of the page as it saw it).
  station_web_test.py CLI SIM EXAMPLES_DIR api|browser [SCREENSHOT]"""
import hashlib, json, os, re, resource, signal, socket, subprocess, sys, tempfile, time
import urllib.error, urllib.parse, urllib.request

cli, sim, examples, mode = sys.argv[1:5]
work = tempfile.mkdtemp()
processes, chromium = [], []


def start(*args):
    log = f"{work}/{len(processes)}.err"
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=open(log, "w"))
    process.log = log
    processes.append(process)
    return process


def wait_for(what, check, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        got = check()
        if got:
            return got
        time.sleep(0.02)
    raise AssertionError(f"never: {what}")


def station(*options):
    """A station on dev1 and dev2 with its page; returns (process, url)."""
    process = start(cli, "station", f"{examples}/demo-firmware.mot", "-p", f"{work}/dev1", "-p", f"{work}/dev2",
                    "-l", f"{work}/log.jsonl", *options)
    said = lambda: re.search(r"page: (\S+)", open(process.log).read())
    return process, wait_for("the station's page", said).group(1)


def recipe_station(port):
    """A station under a recipe: dev1, a serial number per board from 1000, and its page and token from [http]."""
    image = f"{examples}/demo-firmware.mot"
    open(f"{work}/token", "w").write("t0ken\n")
    open(f"{work}/r.toml", "w").write(f"""name = "test board"\n[image]\nfile = "{image}"
sha256 = "{hashlib.sha256(open(image, "rb").read()).hexdigest()}"\n[station]\nslots = ["{work}/dev1"]\nlog = "r.jsonl"
[serial]\naddress = 0x10010\nwidth = 4\nformat = "dec"\nfirst = 1000\nlast = 1099\nstate = "r.state"
[trace]\nlot = "W49"\n[http]\nlisten = "127.0.0.1:{port}"\ntoken_file = "token"\n""")
    process = start(cli, "station", "--recipe", f"{work}/r.toml")
    said = lambda: re.search(r"page: (\S+)", open(process.log).read())
    return process, wait_for("the station's page", said).group(1)


def board(slot, *options):
    process = start(sim, "--link", f"{work}/{slot}", *options)
    wait_for(f"board on {slot}", lambda: os.path.exists(f"{work}/{slot}"))
    return process


def call(url, path, method="GET", headers={}, body=None):
    try:
        with urllib.request.urlopen(urllib.request.Request(url + path, body, headers, method=method), timeout=5) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as error:
        return error.code, None


def slot_states(url):
    return {s["name"][len(work) + 1:]: s["state"] for s in call(url, "api/status")[1]["slots"]}


def next_path(slot):
    return "api/slots/" + urllib.parse.quote(f"{work}/{slot}", safe="") + "/next"


def hostile(url):
    """What no page sends: bad methods, a huge header, a truncated body and
    garbage; a thousand event streams; one stream that never reads. The
    connections, held open."""
    address = urllib.parse.urlparse(url)
    resource.setrlimit(resource.RLIMIT_NOFILE, (2048, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    held = []
    def send(request, buffer=None):
        held.append(socket.socket())
        if buffer: held[-1].setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer)
        held[-1].connect((address.hostname, address.port))
        held[-1].sendall(request)
    for request in (b"BREW / HTTP/1.1\r\n\r\n", b"GET / HTTP/1.1\r\nX: " + b"a" * 100000 + b"\r\n\r\n",
                    b"POST /api/pause HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123456789", b"\x00\xff\r\n\r\n"):
        send(request)
    send(b"GET /events HTTP/1.1\r\n\r\n", buffer=1024)
    for _ in range(1000):
        send(b"GET /events HTTP/1.1\r\n\r\n")
    return held


def api_test():
    process, url = station("--http", "127.0.0.1:0")
    assert slot_states(url) == {"dev1": "unplugged", "dev2": "unplugged"}, slot_states(url)
    status = call(url, "api/status")[1]
    assert status["recipe"] is None and status["slots"][0]["board_serial"] is None, status
    board("dev1", "--once")
    wait_for("job 1", lambda: call(url, "api/jobs?since=0")[1]["count"] == 1)
    assert call(url, "api/pause", "POST") == (200, {"paused": True})
    fixed = board("dev2")  # a port that stays: its next board only when asked for
    turn = wait_for("dev2 seen", lambda: slot_states(url)["dev2"] == "waiting" and call(url, "api/status")[1]["turn"])
    wait_for("two more turns", lambda: call(url, "api/status")[1]["turn"] >= turn + 2)
    assert slot_states(url)["dev2"] == "waiting", "a paused station took a board"
    assert call(url, "api/resume", "POST", body=b"") == (200, {"paused": False})
    wait_for("job 2", lambda: call(url, "api/jobs?since=1")[1]["jobs"])
    nak = board("dev1", "--nak", "2")
    jobs = wait_for("job 3", lambda: call(url, "api/jobs?since=2")[1]["jobs"])
    assert [(j["n"], j["result"], j["reason"][:17]) for j in jobs] == [(3, "failed", "NAK after frame 2")], jobs
    assert call(url, next_path("dev2"), "POST") == (200, {"next": True})
    wait_for("dev2's next board", lambda: call(url, "api/jobs?since=3")[1]["jobs"])
    tally = call(url, "api/status")[1]["tally"]
    assert (tally["written"], tally["failed"], tally["yield"]) == (3, 1, 75.0), tally
    assert call(url, next_path("dev9"), "POST")[0] == 404 and call(url, "api/jobs?since=x")[0] == 400
    assert call(url, "api/pause", "POST", body=b"x" * 5000)[0] == 413 and call(url, "api/status")[1]["state"] != "paused"
    # Under hostile requests the station goes on writing boards, its log whole.
    nak.terminate()
    wait_for("dev1 unplugged", lambda: slot_states(url)["dev1"] == "unplugged")
    held = hostile(url)
    board("dev1", "--once")
    log = lambda: [json.loads(line)["result"] for line in open(f"{work}/log.jsonl")]
    wait_for("a board written under hostile requests", lambda: len(log()) == 5, 30)
    for connection in held:
        connection.close()
    assert call(url, "api/stop", "POST")[0] == 200 and process.wait(20) == 3
    assert log() == ["written", "written", "failed", "written", "written"], log()
    fixed.terminate()
    # Another machine's address needs a token, and every POST carries it.
    refused = subprocess.run([cli, "station", f"{examples}/demo-firmware.mot", "--http", "0.0.0.0:0"],
                             capture_output=True, text=True, timeout=20)
    assert refused.returncode == 2 and "needs --http-token" in refused.stderr, refused.stderr
    process, url = station("--http", "127.0.0.1:0", "--http-token", "s3cret")
    assert call(url, "api/pause", "POST")[0] == 401 and call(url, "api/status")[0] == 200
    assert call(url, "api/stop", "POST", {"Authorization": "Bearer s3cret"})[0] == 200 and process.wait(20) == 3


def browser_test(screenshot):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-crash-reporter", "--window-size=1500,1000",
                     f"--user-data-dir={work}/profile"]:
        options.add_argument(argument)
    service = Service("/usr/bin/chromedriver")
    driver = webdriver.Chrome(service=service, options=options)
    processes.append(service.process)
    chromium.extend(map(int, open(f"/proc/{service.process.pid}/task/{service.process.pid}/children").read().split()))
    try:
        process, url = station("--http", "127.0.0.1:0")
        driver.get(url)
        # Read in one script each: the page redraws its tiles as events come.
        find = lambda css, what: driver.execute_script(f"const e = document.querySelector('{css}'); return e && e.{what}")
        state = lambda slot: find(f'.tile[data-slot="{work}/{slot}"]', "dataset.state")
        text = lambda slot: find(f'.tile[data-slot="{work}/{slot}"]', "textContent")
        tally = lambda name: find(f'[data-tally="{name}"] b', "textContent")
        wait_for("the page's tiles", lambda: state("dev1") == "unplugged")
        driver.find_element(By.ID, "pause").click()
        wait_for("paused banner", lambda: "Paused" in find("#banner", "textContent"))
        boards = [board("dev1", "--delay", "3")]  # stays plugged in; about 1.5 s a board
        wait_for("dev1 waiting", lambda: state("dev1") == "waiting")
        driver.find_element(By.ID, "pause").click()  # now "Resume"
        wait_for("dev1 writing", lambda: state("dev1") == "writing" and "%" in text("dev1"))
        wait_for("dev1 written", lambda: state("dev1") == "written" and tally("written") == "1")
        boards.append(board("dev2", "--nak", "2"))
        wait_for("dev2 failed", lambda: state("dev2") == "failed" and "NAK after frame 2" in text("dev2"))
        assert tally("failed") == "1" and tally("yield") == "50.0%", find("#tally", "textContent")
        driver.execute_script(f"document.querySelector('.tile[data-slot=\"{work}/dev1\"] .next').click()")
        wait_for("dev1's next board", lambda: tally("written") == "2" and find("#jobs tbody", "rows.length") == 3)
        driver.save_screenshot(screenshot)
        port = urllib.parse.urlparse(url).port
        call(url, "api/stop", "POST")
        assert process.wait(20) == 3
        wait_for("connection lost", lambda: "No connection" in find("#banner", "textContent"))
        for each in boards:
            each.terminate()
        wait_for("boards gone", lambda: not os.path.exists(f"{work}/dev1") and not os.path.exists(f"{work}/dev2"))
        process, url = recipe_station(port)
        wait_for("reconnected", lambda: tally("written") == "0" and find("#banner", "hidden"))
        assert find("#recipe", "textContent") == "Recipe test board \u2014 lot W49", find("#recipe", "textContent")
        board("dev1", "--once")
        wait_for("dev1's serial number", lambda: "Board serial number 1000 (written)" in text("dev1"))
        assert call(url, "api/status")[1]["slots"][0]["board_serial"] == 1000
        assert call(url, "api/stop", "POST", {"Authorization": "Bearer t0ken"})[0] == 200 and process.wait(20) == 3
    finally:
        driver.quit()


try:
    api_test() if mode == "api" else browser_test(sys.argv[5])
    print("1 passed, 0 failed")
finally:
    for process in processes:
        if process.poll() is None:
            process.kill()
        process.wait()
    for pid in chromium:  # gone with driver.quit() unless the test broke first
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    subprocess.run(["rm", "-rf", work])
