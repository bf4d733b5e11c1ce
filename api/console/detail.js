// One request: its report, followed live through its event stream (each
// event reads the report again), its recipients, a player for the prepared
// audio of each message part, and its cancel button.
import { call, followEvents } from "./api.js";
import { el, keysPressed, statusClass, statusWord, when } from "./format.js";

const FINISHED = ["Completed", "Canceled", "InternalError", "ErrorNoFile", "ErrorConvertFile",
                  "ErrorGenerateVoiceFile"];

export class RequestDetail {
  constructor(root, dialog, onChange) {
    this.root = root;
    this.dialog = dialog;
    this.onChange = onChange;
    this.id = null;
    this.abort = null;
    this.audioUrls = [];
    this.partsShown = false;
    this.q = (selector) => root.querySelector(selector);
    this.q("#cancel-button").addEventListener("click", () => this.askCancel());
  }

  // Shows request `id`; with `focus`, moves the focus to its heading (a
  // request opened from the list or the form).
  async show(id, focus = false) {
    this.close();
    this.id = id;
    this.abort = new AbortController();
    this.partsShown = false;
    this.shownStatus = undefined;
    this.root.hidden = false;
    this.q("#detail-id").textContent = id;
    this.q("#cancel-result").textContent = "";
    this.q("#parts").replaceChildren();
    const signal = this.abort.signal;
    if (focus) this.q("#detail-heading").focus();
    await this.reload();
    this.follow(id, signal);
  }

  close() {
    if (this.abort) this.abort.abort();
    this.abort = null;
    this.audioUrls.forEach((url) => URL.revokeObjectURL(url));
    this.audioUrls = [];
    this.root.hidden = true;
    this.id = null;
  }

  async follow(id, signal) {
    const live = this.q("#detail-live");
    live.textContent = "(live)";
    try {
      await followEvents(id, () => this.reload(), signal);
      if (!signal.aborted) await this.reload();
    } catch (error) {
      if (!signal.aborted) live.textContent = "(not live: " + error.message + ")";
      return;
    }
    if (!signal.aborted) live.textContent = "";
  }

  async reload() {
    const id = this.id;
    if (!id) return;
    const reading = (this.reading = (this.reading || 0) + 1);
    let report;
    try {
      report = await call("/v1/requests/" + encodeURIComponent(id));
    } catch (error) {
      this.q("#detail-status").textContent = "unknown";
      this.q("#detail-cause").textContent = error.message;
      return;
    }
    if (id !== this.id || reading !== this.reading) return;  // a later reading is under way
    this.render(report);
    // The audio is made once the request is scheduled and gone once it has
    // finished: the parts are read again when the status changes.
    if (!this.partsShown || report.status !== this.shownStatus) this.showParts(id);
    this.shownStatus = report.status;
    this.onChange();
  }

  render(report) {
    const status = this.q("#detail-status");
    status.textContent = statusWord(report.status);
    status.className = statusClass(report.status);
    // Whom it reached: "Completed" alone does not say.
    this.q("#detail-outcome").textContent = report.outcome ? "Outcome: " + report.outcome : "";
    this.q("#detail-cause").textContent = report.cause || "";
    this.q("#detail-window").textContent = report.window
      ? "Window: " + when(report.window.start) + " – " + when(report.window.stop) : "";
    this.q("#cancel-button").disabled = FINISHED.includes(report.status);
    const rows = report.recipients.map((recipient) => {
      const next = recipient.nextAttempt;
      const nextText = next ? [when(next.time), next.note].filter(Boolean).join(", ") : "";
      const durations = recipient.calls.map((c) => (c.duration >= 0 ? c.duration + " s" : "–"));
      const keys = recipient.calls.flatMap(keysPressed);
      return el("tr", {},
        el("th", { scope: "row", text: recipient.recipient }),
        el("td", {}, el("span", { class: statusClass(recipient.status),
                                  text: statusWord(recipient.status) })),
        el("td", { text: nextText }),
        el("td", { text: String(recipient.calls.length) }),
        el("td", { text: durations.join(", ") }),
        el("td", { text: keys.join(", ") }));
    });
    this.q("#recipient-table tbody").replaceChildren(...rows);
  }

  // The parts and their audio, while the request is scheduled.
  async showParts(id) {
    const list = this.q("#parts");
    let parts;
    try {
      parts = (await call("/v1/requests/" + encodeURIComponent(id) + "/parts")).parts;
    } catch (error) {
      if (id === this.id) list.replaceChildren(el("li", { class: "help", text: error.message }));
      return;
    }
    if (id !== this.id) return;
    this.partsShown = true;
    list.replaceChildren(...parts.map((part) => {
      const said = part.type === "Text";
      const item = el("li", {}, el("p", { text: (said ? "Said: " + part.text
                                                       : "Played: " + (part.file || part.text || "")) }));
      if (part.audio) {
        const button = el("button", { type: "button", text: "Load audio of part " + part.part });
        button.addEventListener("click", () => this.loadAudio(part, item, button));
        item.append(button);
      }
      return item;
    }));
  }

  async loadAudio(part, item, button) {
    button.disabled = true;
    try {
      const response = await call(part.audio, { raw: true });
      const url = URL.createObjectURL(await response.blob());
      this.audioUrls.push(url);
      const audio = el("audio", { controls: true, src: url,
                                  "aria-label": "Audio of part " + part.part,
                                  "data-part": part.part });
      button.replaceWith(audio);
      audio.play().catch(() => {});
    } catch (error) {
      button.disabled = false;
      item.append(el("p", { class: "error", role: "alert", text: error.message }));
    }
  }

  askCancel() {
    const dialog = this.dialog;
    dialog.returnValue = "";
    dialog.addEventListener("close", () => {
      if (dialog.returnValue === "cancel") this.cancel();
      else this.q("#cancel-button").focus();
    }, { once: true });
    dialog.showModal();
    dialog.querySelector("#cancel-keep").focus();
  }

  async cancel() {
    const result = this.q("#cancel-result");
    try {
      const report = await call("/v1/requests/" + encodeURIComponent(this.id),
                                { method: "DELETE" });
      result.textContent = "Canceled.";
      this.render(report);
      this.onChange();
    } catch (error) {
      result.textContent = "Not canceled: " + error.message;
    }
    this.q("#cancel-button").focus();
  }
}
