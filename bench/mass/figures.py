"""What bench/mass reads off a run: the report's calls and statuses, the
callee's calls at once and set-ups per second, and min/median summaries."""
import statistics
import xml.etree.ElementTree as ET


def local(tag):
    return tag.rsplit("}", 1)[-1]


def read_report(path):
    """{'status', 'recipients', 'final' (recipients with a final status),
    'calls' (Call elements), 'answered' (calls answered)}."""
    root = ET.parse(path).getroot()
    figures = {"status": root.get("Status", ""), "recipients": 0, "final": 0, "calls": 0,
               "answered": 0, "statuses": {}}
    for sub in root:
        if local(sub.tag) != "SubReport":
            continue
        figures["recipients"] += 1
        status = sub.get("Status", "")
        figures["statuses"][status] = figures["statuses"].get(status, 0) + 1
        if status not in ("", "Processing", "Scheduled", "InProgress"):
            figures["final"] += 1
        for call in sub:
            if local(call.tag) != "Call":
                continue
            figures["calls"] += 1
            answer = next((c.text or "" for c in call if local(c.tag) == "Answer"), "")
            if answer == "Answered":
                figures["answered"] += 1
    return figures


def most_at_once(events):
    """The most calls in progress at the callee at one moment."""
    now = most = 0
    for _, kind in events:
        now += 1 if kind == "I" else -1
        most = max(most, now)
    return most


def setups_per_window(invites, window=1.0):
    """The most of the INVITE times `invites` (in order) within any span of
    `window` seconds (half-open), and the shortest gap between two."""
    most, start = 0, 0
    for end in range(len(invites)):
        while invites[end] - invites[start] >= window:
            start += 1
        most = max(most, end - start + 1)
    gaps = [b - a for a, b in zip(invites, invites[1:])]
    return most, (min(gaps) if gaps else None)


def min_median(values):
    values = [v for v in values if v is not None]
    if not values:
        return None, None
    return min(values), statistics.median(values)


def seconds(value):
    return "-" if value is None else f"{value:.2f} s"


def mib(value):
    return "-" if value is None else f"{value:.0f} MB"


def verdict(value, target, better="lower"):
    """'ok' or 'MISSED' against a target."""
    if value is None:
        return "MISSED"
    good = value <= target if better == "lower" else value >= target
    return "ok" if good else "MISSED"
