// Small helpers that turn API values into text and elements.

export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === "text") node.textContent = value;
    else if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value === true ? "" : value);
  }
  for (const child of children) {
    if (child !== null && child !== undefined) node.append(child);
  }
  return node;
}

// An API time ("2026-12-07T09:30:00+01:00") in the browser's locale.
export function when(text) {
  if (!text) return "";
  const date = new Date(text);
  return isNaN(date) ? text : date.toLocaleString();
}

// A status word, or what an empty status means.
export function statusWord(status) {
  return status || "Waiting";
}

export function statusClass(status) {
  if (["Completed", "Sent"].includes(status)) return "status ok";
  // Canceled: ended by someone, neither success nor failure.
  if (status === "Canceled") return "status canceled";
  if (["Processing", "Scheduled", "InProgress", ""].includes(status || "")) return "status busy";
  return "status bad";
}

// The keys pressed during a call, from its protocol lines ("Key 1 pressed: ...").
export function keysPressed(call) {
  const keys = [];
  for (const match of (call.protocol || "").matchAll(/Key (\S+) pressed/g)) keys.push(match[1]);
  return keys;
}

// A value of a datetime-local input (local time) as an ISO time in UTC.
export function localInputToIso(value) {
  if (!value) return null;
  const date = new Date(value);
  return isNaN(date) ? null : date.toISOString().replace(/\.\d+Z$/, "Z");
}
