// The health of the installation: /readyz (the storage root, prepax and the
// host, from their heartbeats) and the host's lines from /metrics; and the
// alert routes, when this API has any.
import { call } from "./api.js";
import { el } from "./format.js";

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
      items.push(item(NAMES[key] || key, check.ok, check.detail));
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

export async function showRoutes(box) {
  try {
    const answer = await call("/v1/hooks/routes");
    // A list of routes, or an object of routes by name.
    let routes = answer.routes || [];
    if (!Array.isArray(routes)) {
      routes = Object.entries(routes).map(([name, route]) => ({ name, ...route }));
    }
    if (routes.length === 0) {
      box.replaceChildren(el("p", { text: "No alert routes configured." }));
      return;
    }
    box.replaceChildren(el("ul", {}, ...routes.map((route) =>
      el("li", {}, el("strong", { text: route.name || route.route || "" }),
        ": " + (route.numbers || []).join(", ")))));
  } catch (error) {
    box.replaceChildren(el("p", { text: error.status === 404 ? "No alert routes configured."
                                                              : "Routes unknown: " + error.message }));
  }
}

export function startHealth(list, box) {
  refreshHealth(list);
  showRoutes(box);
  return setInterval(() => {
    if (document.visibilityState === "visible") refreshHealth(list);
  }, POLL_MS);
}
