// The form that sends a simple notification: numbers, a text, and an
// optional window.
import { call } from "./api.js";
import { localInputToIso } from "./format.js";

export function setUpSendForm(form, onSent) {
  const result = form.querySelector("#send-result");
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    const numbers = form.numbers.value.split(/[\s,;]+/).filter(Boolean);
    const text = form.text.value.trim();
    const problems = [];
    if (numbers.length === 0) problems.push([form.numbers, "Give at least one number."]);
    if (!text) problems.push([form.text, "Write the message."]);
    for (const field of [form.numbers, form.text]) field.removeAttribute("aria-invalid");
    if (problems.length) {
      problems.forEach(([field]) => field.setAttribute("aria-invalid", "true"));
      result.textContent = problems.map(([, message]) => message).join(" ");
      problems[0][0].focus();
      return;
    }
    const description = { recipients: numbers, message: [text] };
    if (form.ack.checked) {
      description.message = [text, "Press 1 to acknowledge."];
      description.responses = [{ button: "1", message: ["Acknowledged. Thank you."] }];
    }
    const start = localInputToIso(form.start.value);
    const stop = localInputToIso(form.stop.value);
    if (start || stop) {
      description.window = {};
      if (start) description.window.start = start;
      if (stop) description.window.stop = stop;
    }
    const button = form.querySelector("button[type=submit]");
    button.disabled = true;
    result.textContent = "Sending…";
    try {
      const answer = await call("/v1/requests", { method: "POST", body: description });
      result.textContent = "Sent: " + answer.id;
      form.text.value = "";
      onSent(answer.id);
    } catch (error) {
      result.textContent = "Not sent: " + error.message;
    } finally {
      button.disabled = false;
    }
  });
}
