// The health of the installation: /readyz (the storage root, prepax and the
// host, from their heartbeats) and the host's lines from /metrics; and the
// alert routes, when this API has any.
import { call } from "./api.js";
import { el, when } from "./format.js";

const POLL_MS = 10000;
const NAMES = { storage: "Storage root", prepax: "prepax", host: "ringwell-host" };

async function readiness() {
  const response = await fetch("/readyz", { cache: "no-store" });
  return response.json();  // 200 and 503 carry the same body
}

// The host's lines, busy and idle, from the metrics text (null when the host
// is not seen).
async function lines() {
  const response = await call("/metrics", { raw: true });
  const text = await response.text();
  const count = (state) => {
    const match = text.match(new RegExp('^ringwell_lines\\{state="' + state + '"\\} (\\S+)$', "m"));
    return match ? Number(match[1]) : null;
  };
  const busy = count("busy");
  const idle = count("idle");
  return busy === null || idle === null ? null : { busy, idle };
}

function item(name, ok, detail) {
  return el("li", { class: ok ? "ok" : "bad" },
    el("span", { class: "badge", text: ok ? "OK" : "Problem" }), " ",
    el("strong", { text: name }), ": " + detail);
}

export async function refreshHealth(list) {
  const items = [];
  try {
    const ready = await readiness();
    for (const [key, check] of Object.entries(ready.checks || {})) {
      // The heartbeat's time (UTC) in local time, as the list shows times.
      const detail = check.time ? check.detail.replace(check.time, when(check.time)) : check.detail;
      items.push(item(NAMES[key] || key, check.ok, detail));
    }
  } catch (error) {
    items.push(item("API", false, "no answer from /readyz: " + error.message));
  }
  try {
    const seen = await lines();
    items.push(seen ? item("Lines", seen.busy + seen.idle > 0,
                           seen.busy + " busy, " + seen.idle + " idle")
                    : item("Lines", false, "not known: the host is not seen"));
  } catch (error) {
    items.push(item("Lines", false, "not known: " + error.message));
  }
  list.replaceChildren(...items);
}

// "5551234, 5559876 (sms)": a route's numbers as its file writes them.
function numbers(list) {
  return (list || []).map((entry) => typeof entry === "string" ? entry
    : entry.number + (entry.service ? " (" + entry.service + ")" : "")).join(", ");
}

// One route: whom it calls and pages, what it says, and the alert groups it
// called about, each linked to its requests.
function showRoute(route) {
  const facts = [];
  if (route.numbers.length) facts.push("calls " + numbers(route.numbers));
  if (route.page.length) facts.push("pages " + numbers(route.page));
  facts.push("when resolved: " + route.resolved);
  const groups = route.groups.map((group) => el("li", {},
    el("code", { text: group.groupKey }), " (" + group.source + ", " + group.alerts + " alert" +
      (group.alerts === 1 ? "" : "s") + ", " + when(group.time) + "): ",
    ...group.requests.concat(group.resolvedRequests).flatMap((id, i) => [i ? ", " : "",
      el("a", { href: "#/requests/" + id, text: id })])));
  return el("li", {}, el("strong", { text: route.name }), ": " + facts.join("; "),
    route.say ? el("div", { class: "help", text: "Says: " + route.say }) : null,
    groups.length ? el("ul", { class: "groups", "aria-label": "Alert groups of " + route.name },
                       ...groups)
                  : el("div", { class: "help", text: "No alert groups yet." }));
}

export async function showRoutes(box) {
  try {
    const answer = await call("/v1/hooks/routes");
    const routes = answer.routes || [];
    if (routes.length === 0) {
      box.replaceChildren(el("p", { text: "No alert routes configured." }));
      return;
    }
    box.replaceChildren(el("ul", { class: "routes" }, ...routes.map(showRoute)));
  } catch (error) {
    box.replaceChildren(el("p", { text: "Routes unknown: " + error.message }));
  }
}

export function startHealth(list, box) {
  refreshHealth(list);
  showRoutes(box);
  return setInterval(() => {
    if (document.visibilityState === "visible") {
      refreshHealth(list);
      showRoutes(box);
    }
  }, POLL_MS);
}
