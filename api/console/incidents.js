// On call: the incidents (open first, filtered by state), followed live
// through the incidents' event stream; one incident's timeline with its
// acknowledge, escalate and resolve buttons (each confirmed first) for a
// token with the scope "respond"; and who is on call now in each schedule,
// with the next handoff, in the viewer's local time.
import { ApiError, call, followIncidents } from "./api.js";
import { el, when } from "./format.js";

const ONCALL_MS = 60000;
const ACTIONS = {
  acknowledge: { label: "Acknowledge", question: "Acknowledge this incident?",
                 detail: "Nobody else is called: the calls still pending are canceled.",
                 done: "Acknowledged." },
  escalate: { label: "Escalate", question: "Pass this incident to the next step?",
              detail: "The next step of the policy calls its people now.", done: "Escalated." },
  resolve: { label: "Resolve", question: "Resolve this incident?",
             detail: "The chain stops and the calls still pending are canceled.",
             done: "Resolved." },
};

function stateClass(state) {
  if (state === "resolved") return "status ok";
  if (state === "acknowledged") return "status busy";
  return "status bad";
}

export class IncidentsView {
  constructor(root, dialog) {
    this.root = root;
    this.dialog = dialog;
    this.q = (selector) => root.querySelector(selector);
    this.incidents = new Map();
    this.shown = null;
    this.abort = null;
    this.canRespond = false;
    this.q("#incident-state").addEventListener("change", () => this.render());
    for (const action of Object.keys(ACTIONS)) {
      this.q("#incident-" + action).addEventListener("click", () => this.ask(action));
    }
  }

  async start() {
    this.abort = new AbortController();
    this.canRespond = await this.mayRespond();
    const live = this.q("#incidents-live");
    live.textContent = "(live)";
    followIncidents((event) => this.changed(event.incident), () => this.load(), this.abort.signal)
      .catch((error) => {
        live.textContent = "(not live: " + error.message + ")";
      });
  }

  // Stops following; nothing of this token's view stays on the page.
  stop() {
    if (this.abort) this.abort.abort();
    this.abort = null;
    this.shown = null;
    this.incidents = new Map();
    this.q("#incident-detail").hidden = true;
    this.q("#incident-result").textContent = "";
    this.q("#incident-table tbody").replaceChildren();
  }

  // Whether the token has the scope "respond": the API checks the scope
  // before it looks for the incident, so an action on an incident that
  // cannot exist answers 403 without it and 404 with it, and changes nothing.
  async mayRespond() {
    try {
      await call("/v1/incidents/-/acknowledge", { method: "POST" });
      return true;
    } catch (error) {
      return error instanceof ApiError && error.status === 404;
    }
  }

  async load() {
    try {
      const answer = await call("/v1/incidents");
      this.incidents = new Map(answer.incidents.map((incident) => [incident.id, incident]));
      this.q("#incidents-error").textContent = "";
    } catch (error) {
      this.q("#incidents-error").textContent = "The incidents cannot be listed: " + error.message;
      return;
    }
    this.render();
    if (this.shown) this.showIncident(this.shown);
  }

  changed(incident) {
    this.incidents.set(incident.id, incident);
    this.render();
    if (this.shown === incident.id) this.showIncident(incident.id);
  }

  // Open first, then acknowledged, then resolved; newest first in each.
  render() {
    const wanted = this.q("#incident-state").value;
    const rank = { open: 0, acknowledged: 1, resolved: 2 };
    const listed = [...this.incidents.values()]
      .filter((incident) => !wanted || incident.state === wanted)
      .sort((a, b) => rank[a.state] - rank[b.state] || (a.opened < b.opened ? 1 : -1));
    const rows = listed.map((incident) => el("tr", { "data-incident": incident.id },
      el("td", {}, el("a", { href: "#incident-detail", text: incident.id,
                             onclick: (event) => {
                               event.preventDefault();
                               this.showIncident(incident.id, true);
                             } })),
      el("td", {}, el("span", { class: stateClass(incident.state), text: incident.state })),
      el("td", { text: incident.route }),
      el("td", { text: String(incident.step) }),
      el("td", { text: incident.acknowledgedBy || "" }),
      el("td", { text: when(incident.opened) })));
    // A link that had the focus keeps it in the new rows.
    const body = this.q("#incident-table tbody");
    const focused = body.contains(document.activeElement)
      ? document.activeElement.closest("tr").dataset.incident : null;
    body.replaceChildren(...rows);
    if (focused) {
      const again = body.querySelector(`tr[data-incident="${CSS.escape(focused)}"] a`);
      if (again) again.focus();
    }
    this.q("#incidents-empty").hidden = rows.length > 0;
  }

  async showIncident(id, focus = false) {
    if (this.shown !== id) this.q("#incident-result").textContent = "";
    this.shown = id;
    let incident;
    try {
      incident = await call("/v1/incidents/" + encodeURIComponent(id));
    } catch (error) {
      this.q("#incidents-error").textContent = error.message;
      return;
    }
    if (this.shown !== id) return;
    const detail = this.q("#incident-detail");
    detail.hidden = false;
    this.q("#incident-id").textContent = incident.id;
    const state = this.q("#incident-detail-state");
    state.textContent = incident.state;
    state.className = stateClass(incident.state);
    this.q("#incident-text").textContent = incident.text || "";
    this.q("#incident-who").textContent = incident.acknowledgedBy
      ? "Acknowledged by " + incident.acknowledgedBy + (incident.acknowledged ? ", " +
        when(incident.acknowledged) : "") : "";
    this.q("#incident-due").textContent = incident.due ? "Next step: " + when(incident.due) : "";
    this.q("#incident-timeline").replaceChildren(...(incident.timeline || []).map((entry) =>
      el("li", {}, el("time", { datetime: entry.at, text: when(entry.at) }), " ", entry.text)));
    const buttons = this.q("#incident-actions");
    buttons.hidden = !this.canRespond;
    this.q("#incident-acknowledge").disabled = incident.state !== "open";
    this.q("#incident-escalate").disabled = incident.state !== "open";
    this.q("#incident-resolve").disabled = incident.state === "resolved";
    this.q("#incident-readonly").hidden = this.canRespond;
    if (focus) this.q("#incident-heading").focus();
  }

  ask(action) {
    const dialog = this.dialog;
    const text = ACTIONS[action];
    dialog.querySelector("#incident-dialog-heading").textContent = text.question;
    dialog.querySelector("#incident-dialog-detail").textContent = text.detail;
    dialog.querySelector("#incident-confirm").textContent = text.label;
    dialog.returnValue = "";
    dialog.addEventListener("close", () => {
      if (dialog.returnValue === "confirm") this.act(action);
      else this.q("#incident-" + action).focus();
    }, { once: true });
    dialog.showModal();
    dialog.querySelector("#incident-keep").focus();
  }

  async act(action) {
    const id = this.shown;
    const result = this.q("#incident-result");
    try {
      const incident = await call("/v1/incidents/" + encodeURIComponent(id) + "/" + action,
                                  { method: "POST" });
      result.textContent = ACTIONS[action].done;
      this.changed(incident);
    } catch (error) {
      result.textContent = "Not done: " + error.message;
    }
    this.q("#incident-heading").focus();
  }
}

// Who is on call now in each schedule, and the next handoff.
export async function showOnCall(box) {
  let answer;
  try {
    answer = await call("/v1/oncall");
  } catch (error) {
    box.replaceChildren(el("p", { class: "error", text: "Not known: " + error.message }));
    return;
  }
  if (answer.schedules.length === 0) {
    box.replaceChildren(el("p", { text: "No schedules configured." }));
    return;
  }
  box.replaceChildren(el("ul", { class: "oncall" }, ...answer.schedules.map((schedule) => {
    const next = schedule.next.find((handoff) => handoff.person !== null) || schedule.next[0];
    return el("li", { "data-schedule": schedule.name },
      el("strong", { text: schedule.name + ": " }),
      schedule.onCall ? schedule.onCall.name : "nobody",
      el("br"),
      el("span", { class: "help", text: next
        ? "Next: " + (next.name || "nobody") + " from " + when(next.at)
        : "No handoff ahead." }));
  })));
}

export function startOnCall(box) {
  showOnCall(box);
  return setInterval(() => {
    if (document.visibilityState === "visible") showOnCall(box);
  }, ONCALL_MS);
}
