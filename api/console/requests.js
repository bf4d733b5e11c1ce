// The list of requests: the listing route, read again every few seconds
// while the tab is visible (the API streams events per request only).
import { call } from "./api.js";
import { el, statusClass, statusWord, when } from "./format.js";

const POLL_MS = 3000;

export class RequestList {
  constructor(table, errorLine, onSelect) {
    this.body = table.querySelector("tbody");
    this.errorLine = errorLine;
    this.onSelect = onSelect;
    this.timer = null;
  }

  start() {
    this.refresh();
    this.timer = setInterval(() => {
      if (document.visibilityState === "visible") this.refresh();
    }, POLL_MS);
  }

  stop() {
    clearInterval(this.timer);
  }

  async refresh() {
    try {
      const page = await call("/v1/requests?limit=50");
      this.errorLine.textContent = "";
      this.render(page.requests);
    } catch (error) {
      this.errorLine.textContent = "The requests cannot be listed: " + error.message;
    }
  }

  render(requests) {
    const rows = requests.map((request) => {
      const link = el("a", { href: "#/requests/" + request.id, text: request.id });
      const status = statusWord(request.status);
      // A canceled request shows how many were reached, not a full bar.
      const canceled = request.status === "Canceled";
      const done = canceled ? request.recipients.reached : request.recipients.done;
      return el("tr", { "data-id": request.id },
        el("td", {}, link),
        el("td", { text: request.type }),
        el("td", {}, el("span", { class: statusClass(request.status), text: status })),
        el("td", {},
          el("progress", { max: request.recipients.total || 1, value: done,
                           "aria-label": canceled ? "recipients reached" : "recipients done" }),
          " " + done + "/" + request.recipients.total + (canceled ? " reached" : "")),
        el("td", { text: when(request.changed) }));
    });
    if (rows.length === 0) rows.push(el("tr", {}, el("td", { colspan: 5, text: "No requests yet." })));
    this.body.replaceChildren(...rows);
  }
}
