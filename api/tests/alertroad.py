"""The pieces of the alert road for the tests and the benchmark, all on
127.0.0.1: a baresip phone that answers with a spoken "Hello?" and records
what it hears, prepax, ringwell-host with one SIP line calling that phone,
and Debian's Alertmanager with a web hook receiver pointing at ringwell-api
(the token sent through http_config.authorization). `amtool` fires and
resolves alerts."""
import datetime
import os
import socket
import subprocess
import wave

from apitest import library, program, wait_for


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


class Services:
    """Processes started for one test, stopped (SIGTERM) in reverse order."""

    def __init__(self, inst):
        self.inst = inst
        self.processes = []

    def start(self, name, argv, ready, env=None, timeout=60):
        log = os.path.join(self.inst.dir, name + ".out")
        with open(log, "w") as out:
            process = subprocess.Popen(argv, env=env or self.inst.env, stdout=out, stderr=subprocess.STDOUT)
        self.processes.append(process)
        wait_for(lambda: ready(read(log)) or process.poll() is not None, timeout=timeout, what=name + " to start")
        if process.poll() is not None:
            raise AssertionError("%s ended: %s" % (name, read(log)))
        return process

    def stop(self, process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def stop_all(self):
        for process in reversed(self.processes):
            self.stop(process)


def make_phone(services, number, answer=True):
    """A baresip phone at sip:NUMBER@127.0.0.1:PORT that answers at once with
    a spoken greeting and records what it hears in phones/recordings.
    With answer=False it only rings. Returns (port, recordings directory)."""
    inst = services.inst
    phones = os.path.join(inst.dir, "phones")
    recordings = os.path.join(phones, "recordings")
    os.makedirs(recordings)
    raw = os.path.join(phones, "hello-raw.wav")
    subprocess.run(["espeak-ng", "-w", raw, "Hello?"], check=True)
    subprocess.run(["sox", "-q", raw, "-r", "8000", "-c", "1", "-b", "16", os.path.join(phones, "hello.wav")],
                   check=True)
    subprocess.run(["sox", "-q", "-n", "-r", "8000", "-c", "1", "-b", "16", os.path.join(phones, "silence.wav"),
                    "trim", "0", "120"], check=True)
    voice = os.path.join(phones, "voice.wav")
    subprocess.run(["sox", "-q", os.path.join(phones, "hello.wav"), os.path.join(phones, "silence.wav"), voice],
                   check=True)
    # baresip binds TCP and TLS beside the UDP port it is given, and another test
    # may take one of those between the choice and the bind: another port then.
    for attempt in range(5):
        port = free_port(socket.SOCK_DGRAM)
        write_phone_files(phones, recordings, voice, number, port, answer)
        try:
            services.start("baresip", ["baresip", "-f", phones], lambda log: "baresip is ready" in log)
            return port, recordings
        except AssertionError as error:
            if attempt == 4 or "Address already in use" not in str(error):
                raise


def write_phone_files(phones, recordings, voice, number, port, answer):
    with open(os.path.join(phones, "config"), "w") as f:
        f.write("\n".join([
            "poll_method epoll", "sip_listen 127.0.0.1:%d" % port, "sip_transports udp",
            "net_interface 127.0.0.1", "audio_source aufile,%s" % voice, "ausrc_srate 8000",
            "ausrc_channels 1", "module_path /usr/lib/baresip/modules", "module g711.so", "module aufile.so",
            "module sndfile.so", "module account.so", "module menu.so", "snd_path %s" % recordings, ""]))
    with open(os.path.join(phones, "accounts"), "w") as f:
        f.write("<sip:%s@127.0.0.1:%d>;regint=0;answermode=%s;audio_codecs=PCMU,PCMA;audio_source=aufile,%s\n"
                % (number, port, "auto" if answer else "manual", voice))


def register_components(inst):
    subprocess.run([program("ringwell-regsvr"), library("wavshift"), library("dialqueue")], env=inst.env,
                   check=True, capture_output=True)
    subprocess.run([program("prepax"), "-RegServer"], env=inst.env, check=True, capture_output=True)


def start_prepax(services):
    return services.start("prepax", [program("prepax")], lambda log: "Prepax is running" in log)


def start_host(services, phone_port, ring_period=2):
    return services.start("ringwell-host", [
        program("ringwell-host"), "--sip-lines", "1", "--sip-uri", "sip:{number}@127.0.0.1:%d" % phone_port,
        "--sip-local-address", "127.0.0.1", "--sip-caller-id", "Ringwell alerts", "--sip-ring-period", str(ring_period)],
        lambda log: "ready" in log)


def start_alertmanager(services, api_port, token, route="oncall", group_interval="1s", port=None):
    """Alertmanager on a free port (or `port`), every alert grouped by name and
    sent to ringwell-api's receiver. Returns its URL."""
    inst = services.inst
    port = port or free_port()
    config = os.path.join(inst.dir, "alertmanager.yml")
    with open(config, "w") as f:
        f.write("""route:
  receiver: ringwell
  group_by: [alertname]
  group_wait: 0s
  group_interval: %s
  repeat_interval: 1h
receivers:
  - name: ringwell
    webhook_configs:
      - url: http://127.0.0.1:%d/v1/hooks/alertmanager/%s
        send_resolved: true
        http_config:
          authorization:
            type: Bearer
            credentials: %s
""" % (group_interval, api_port, route, token))
    storage = os.path.join(inst.dir, "alertmanager")
    os.makedirs(storage)
    url = "http://127.0.0.1:%d" % port
    services.start("alertmanager", [
        "prometheus-alertmanager", "--config.file=" + config, "--storage.path=" + storage,
        "--web.listen-address=127.0.0.1:%d" % port, "--cluster.listen-address="],
        lambda log: "Listening" in log or "listening" in log)
    return url


def amtool(url, *labels, annotations=(), end=None):
    """Fires (or, with `end`, resolves) an alert with `amtool alert add`."""
    argv = ["amtool", "--alertmanager.url=" + url, "alert", "add", *labels]
    argv += ["--annotation=" + a for a in annotations]
    if end is not None:
        argv.append("--end=" + end.strftime("%Y-%m-%dT%H:%M:%S.%fZ"))
    subprocess.run(argv, check=True, capture_output=True, text=True)


def now():
    return datetime.datetime.now(datetime.timezone.utc)


def finished_recordings(directory):
    """The phone's recordings of what it heard that are complete (their
    header says as much data as the file holds): {path: seconds}."""
    done = {}
    for name in sorted(os.listdir(directory)):
        if not name.endswith("-dec.wav"):
            continue
        path = os.path.join(directory, name)
        try:
            with wave.open(path) as w:
                frames, rate, width = w.getnframes(), w.getframerate(), w.getsampwidth()
        except (wave.Error, EOFError):
            continue
        if frames > 0 and frames * width + 44 >= os.path.getsize(path) - 64:
            done[path] = frames / rate
    return done


def speech_span(path, threshold=500):
    """Seconds from the first to the last 20 ms frame louder than `threshold`."""
    with wave.open(path) as w:
        rate = w.getframerate()
        data = w.readframes(w.getnframes())
    samples = memoryview(data).cast("h")
    frame = rate // 50
    loud = [i for i in range(0, len(samples) - frame, frame)
            if max(abs(s) for s in samples[i:i + frame]) > threshold]
    return (loud[-1] - loud[0] + frame) / rate if loud else 0.0


def spoken_length(text, directory):
    """Seconds espeak-ng takes to say `text` with its default voice."""
    path = os.path.join(directory, "expected.wav")
    subprocess.run(["espeak-ng", "-w", path, text], check=True)
    with wave.open(path) as w:
        return w.getnframes() / w.getframerate()
