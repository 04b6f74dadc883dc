"""Two rooms, one clinic, run by two_rooms_test.sh inside its namespaces.

Each room (network namespace room-a, room-b) runs a ROS master, the simulated
peers (clinic_sim.launch: person tracking waits until skipped, so each step
below happens in the wait it is meant for, however slow the machine) and a
console on the shared PostgreSQL database, named by ~room. The flow:

1. P-0100 starts a plan of three in room A; End in the wait after exercise 1.
2. Room B sees the patient and the ended session (room A's), resumes it and
   plays it to the end (each wait for tracking skipped).
3. Both rooms' pages show one record: the two sessions with their rooms, one
   chain, each exercise of the plan played once.
4. P-0101: both rooms press Start at once: exactly one session; the other room
   is refused with a sentence naming the room the patient is in.
"""

import json
import os
import signal
import subprocess
import sys
import threading
import time

RUN = os.environ["KINORA_TWO_ROOMS_RUN"]
CONSOLE = os.environ["KINORA_CONSOLE_PROGRAM"]
SIM = os.environ["KINORA_SIM_EXERCISES"]
DATABASE = os.environ["KINORA_DATABASE"]
EXERCISES = ["01_hands_on_waist_left.txt", "03_arms_to_the_side.txt", "08_right_wrist.txt"]
PORT = 8080  # each room's console, on its own loopback
STEP_SECONDS = 60  # a bound only for a hung program: every wait is for a state

processes = []


def fail(message):
    raise SystemExit("FAIL: " + message)


def log(message):
    print(message, flush=True)


def in_room(room, argv):
    return ["ip", "netns", "exec", "room-" + room] + argv


def start(room, name, argv):
    """A program in the room's namespace, in a process group of its own."""
    env = dict(os.environ)
    env.update(
        ROS_MASTER_URI="http://127.0.0.1:11311",
        ROS_HOSTNAME="127.0.0.1",
        ROS_IP="127.0.0.1",
        ROS_HOME=os.path.join(RUN, room),
        ROS_LOG_DIR=os.path.join(RUN, room, "log"),
    )
    os.makedirs(os.path.join(RUN, room, "log"), exist_ok=True)
    out = open(os.path.join(RUN, room, name + ".log"), "w")
    p = subprocess.Popen(in_room(room, argv), stdout=subprocess.PIPE, stderr=out, env=env, start_new_session=True,
                         text=True)
    p.lines = []
    p.name = "%s/%s" % (room, name)

    def read():
        for line in p.stdout:
            out.write(line)
            out.flush()
            p.lines.append(line.rstrip("\n"))

    threading.Thread(target=read, daemon=True).start()
    processes.append(p)
    return p


def signal_group(p, sig):
    try:
        os.killpg(p.pid, sig)
    except ProcessLookupError:
        pass  # already gone


def stop_all():
    """Ctrl-C to each program, then SIGKILL to what is left of its group after
    10 s; two_rooms_test.sh also kills whatever is left in the rooms."""
    for p in reversed(processes):
        signal_group(p, signal.SIGINT)
    for p in reversed(processes):
        try:
            p.wait(10)
        except subprocess.TimeoutExpired:
            signal_group(p, signal.SIGKILL)
            p.wait()
    processes.clear()


def until(what, cond, seconds=STEP_SECONDS):
    end = time.monotonic() + seconds
    while True:
        value = cond()
        if value:
            return value
        if time.monotonic() > end:
            fail("not within %d s: %s" % (seconds, what))
        time.sleep(0.05)


def ask(room, method, path, body=None):
    """(status, JSON) of a request to the room's console."""
    # As the console's own page asks: changes are taken only from its origin.
    argv = ["curl", "-sS", "-X", method, "-w", "\n%{http_code}", "-H", "Content-Type: application/json",
            "-H", "Origin: http://127.0.0.1:%d" % PORT]
    if body is not None:
        argv += ["--data-binary", json.dumps(body)]
    done = subprocess.run(in_room(room, argv + ["http://127.0.0.1:%d%s" % (PORT, path)]), capture_output=True,
                          text=True)
    if done.returncode != 0:
        fail("%s %s in room %s: curl: %s" % (method, path, room, done.stderr.strip()))
    text, _, status = done.stdout.rpartition("\n")
    try:
        return int(status), (json.loads(text) if text.strip() else {})
    except ValueError:
        return int(status), {"text": text[:300]}


def clinic(room, method, path, body=None, status=200):
    got, answer = ask(room, method, "/api/clinic" + path, body)
    if got != status:
        fail("%s /api/clinic%s in room %s: %d, not %d: %s" % (method, path, room, got, status, answer))
    return answer


def library():
    folder = os.path.join(RUN, "library")
    os.makedirs(folder)
    for name in EXERCISES:
        with open(os.path.join(SIM, name)) as f:
            rows = f.read().split("\n")[:40]
        with open(os.path.join(folder, name), "w") as f:
            f.write("\n".join(rows) + "\n")
    return folder + "/"


def room_up(room, folder):
    master = start(room, "master", ["rosmaster", "--core", "-p", "11311"])
    probe = in_room(room, ["/usr/bin/python3", "-c", "import xmlrpc.client; "
                           "xmlrpc.client.ServerProxy('http://127.0.0.1:11311').getPid('/two_rooms')"])
    until("the ROS master of room %s answers" % room,
          lambda: subprocess.run(probe, capture_output=True).returncode == 0 or (
              master.poll() is not None and fail("the master of room %s ended" % room)))
    start(room, "sim", ["roslaunch", "--skip-log-check", "--no-summary", "--disable-title",
                        "nao_kinora_console", "clinic_sim.launch"])
    return start(room, "console", [CONSOLE, "_port:=%d" % PORT, "_database:=" + DATABASE, "_room:=" + room.upper(),
                                   "_recording_dir:=" + folder])


def status(room):
    got, view = ask(room, "GET", "/api/status")
    return view if got == 200 else {}


def in_tracking_wait(room, recording):
    view = status(room)
    return view.get("phase") == "tracking" and view.get("recording") == recording


def outcome(room, session):
    return clinic(room, "GET", "/sessions/%d" % session)["session"].get("outcome")


def main():
    folder = library()
    consoles = {room: room_up(room, folder) for room in "ab"}
    for room, con in consoles.items():
        until("the console of room %s prints its address" % room,
              lambda: any(l.startswith("console: http://") for l in con.lines) or (
                  con.poll() is not None and fail("the console of room %s ended: see %s" % (room, RUN))))

    # 1. Room A: a plan of three; End in the wait for tracking after exercise 1.
    patient = clinic("a", "POST", "/patients", {"code": "P-0100"}, 201)["id"]
    plan = clinic("a", "POST", "/patients/%d/plans" % patient, {"name": "week 1", "speed": 1, "items": EXERCISES},
                  201)["id"]
    first = clinic("a", "POST", "/plans/%d/start" % plan, {}, 201)["session"]
    until("room A waits for tracking after exercise 1", lambda: in_tracking_wait("a", 1))
    got, answer = ask("a", "POST", "/api/end", {"confirm": True})
    if got != 200:
        fail("End in room A: %d %s" % (got, answer))
    until("room B reads room A's session as ended", lambda: outcome("b", first) not in (None, "running"))
    log("ok: played in room A up to exercise 1, ended")

    # 2. Room B: the patient is there; Resume, every wait skipped, to the end.
    codes = [p["code"] for p in clinic("b", "GET", "/patients")["patients"]]
    if "P-0100" not in codes:
        fail("room B does not list P-0100: %s" % codes)
    second = clinic("b", "POST", "/sessions/%d/resume" % first, {}, 201)["session"]
    skipped = set()

    def played_on():
        view = status("b")
        if view.get("phase") == "tracking" and view.get("recording") not in skipped:
            skipped.add(view.get("recording"))
            ask("b", "POST", "/api/skip", {})
        return outcome("b", second) not in (None, "running")

    until("room B plays the resumed session to its end", played_on, 3 * STEP_SECONDS)
    log("ok: resumed in room B and played to its end (waits skipped after %s)" % sorted(skipped))

    # 3. One record, the same from both rooms.
    for room in "ab":
        page = clinic(room, "GET", "/patients/%d" % patient)
        sessions = {s["id"]: s for s in page["sessions"]}
        if sorted(sessions) != sorted([first, second]):
            fail("room %s shows sessions %s, not %s and %s" % (room, sorted(sessions), first, second))
        rooms = (sessions[first].get("room"), sessions[second].get("room"))
        if rooms != ("A", "B"):
            fail("room %s names the sessions' rooms %s, not ('A', 'B')" % (room, rooms))
        played = []
        for s in (first, second):
            for e in clinic(room, "GET", "/sessions/%d" % s)["exercises"]:
                if e["outcome"] == "played":
                    played.append(e["recording"])
        if played != EXERCISES:
            fail("room %s: the chain played %s, not each of %s once" % (room, played, EXERCISES))
    log("ok: one record in both rooms: sessions %d (A) and %d (B), each exercise played once" % (first, second))

    # 4. Both rooms press Start for one patient at once: one session. Each
    # room's robot is free first (its last node has ended and been reaped).
    for room in "ab":
        until("the robot of room %s is free" % room, lambda: not clinic(room, "GET", "/now").get("busy", True))
    other = clinic("a", "POST", "/patients", {"code": "P-0101"}, 201)["id"]
    other_plan = clinic("b", "POST", "/patients/%d/plans" % other, {"name": "w", "speed": 1, "items": EXERCISES},
                        201)["id"]
    results = {}
    gate = threading.Barrier(2)

    def press(room):
        gate.wait()
        results[room] = ask(room, "POST", "/api/clinic/plans/%d/start" % other_plan, {})

    presses = [threading.Thread(target=press, args=(room,)) for room in "ab"]
    for t in presses:
        t.start()
    for t in presses:
        t.join()
    statuses = sorted(code for code, _ in results.values())
    if statuses != [201, 409]:
        fail("Start in both rooms at once answered %s, not one 201 and one 409" % results)
    winner = next(room for room, (code, _) in results.items() if code == 201)
    loser = "b" if winner == "a" else "a"
    refusal = json.dumps(results[loser][1])
    if "room " + winner.upper() not in refusal:
        fail("room %s's refusal does not name room %s: %s" % (loser.upper(), winner.upper(), refusal))
    sessions = clinic(loser, "GET", "/patients/%d" % other)["sessions"]
    if len(sessions) != 1 or sessions[0].get("room") != winner.upper():
        fail("P-0101 has %d session(s) after both Starts, not one in room %s: %s" % (len(sessions), winner, sessions))
    log("ok: Start in both rooms at once: one session, in room %s; room %s told: %s"
        % (winner.upper(), loser.upper(), results[loser][1].get("error", refusal)))
    until("room %s waits for tracking after exercise 1" % winner.upper(), lambda: in_tracking_wait(winner, 1))
    got, answer = ask(winner, "POST", "/api/end", {"confirm": True})
    if got != 200:
        fail("End in room %s: %d %s" % (winner.upper(), got, answer))
    until("the session of P-0101 ends", lambda: outcome(winner, sessions[0]["id"]) not in (None, "running"))
    log("PASS: two rooms, one clinic")


if __name__ == "__main__":
    try:
        main()
    except SystemExit as e:
        if e.code not in (None, 0):
            print(e.code, file=sys.stderr)
            print("logs: " + RUN, file=sys.stderr)
            stop_all()
            sys.exit(1)
    finally:
        stop_all()
