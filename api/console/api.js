// Calls to ringwell-api with the token kept in this tab's session storage,
// and a request's event stream read with fetch (EventSource cannot send a
// bearer token).

const TOKEN_KEY = "ringwell.token";

export function token() {
  return sessionStorage.getItem(TOKEN_KEY);
}

export function setToken(value) {
  if (value) sessionStorage.setItem(TOKEN_KEY, value);
  else sessionStorage.removeItem(TOKEN_KEY);
}

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// Listeners told when the API refuses the token (401).
const refusedListeners = [];
export function onTokenRefused(listener) {
  refusedListeners.push(listener);
}

function headers(extra) {
  const all = new Headers(extra || {});
  const current = token();
  if (current) all.set("Authorization", "Bearer " + current);
  return all;
}

async function failure(response) {
  let message = response.status + " " + response.statusText;
  try {
    const body = await response.json();
    if (body && body.error) message = body.error;
  } catch (_) {
    // not JSON: the status line says it
  }
  if (response.status === 401) refusedListeners.forEach((listener) => listener(message));
  return new ApiError(response.status, message);
}

// A route's answer: JSON, or the raw response when `raw` is set.
export async function call(path, { method = "GET", body, raw = false, signal } = {}) {
  const init = { method, headers: headers(), signal, cache: "no-store" };
  if (body !== undefined) {
    init.body = JSON.stringify(body);
    init.headers.set("Content-Type", "application/json");
  }
  const response = await fetch(path, init);
  if (!response.ok) throw await failure(response);
  if (raw) return response;
  return response.json();
}

// Follows /v1/requests/{id}/events: onEvent(event) for each event; resumes
// with Last-Event-ID when the connection drops or the API says it is
// stopping (event "stopping"); resolves when the stream ends after the
// request finished, or when `signal` aborts.
export function followEvents(id, onEvent, signal) {
  return follow("/v1/requests/" + encodeURIComponent(id) + "/events", () => {}, (event) => {
    onEvent(event.data);
    return event.id;
  }, true, signal);
}

// Follows /v1/incidents/events until `signal` aborts: onOpen() each time the
// stream is (re)connected without a place to resume from (read the incidents
// then: nothing is missed between that reading and the stream), onEvent(data)
// for each change of an incident. Resumes with Last-Event-ID when the
// connection drops or the API stops; an event "reset" (the API no longer
// keeps what came after the last one seen) counts as a fresh start.
export function followIncidents(onEvent, onOpen, signal) {
  return follow("/v1/incidents/events", (resumed) => {
    if (!resumed) onOpen();
  }, (event) => {
    if (event.type === "reset") {
      onOpen();
      return null;
    }
    onEvent(event.data);
    return event.id;
  }, false, signal);
}

// Follows the event stream at `path` until `signal` aborts, or until the
// server ends it when `untilEnd`. Resumes with Last-Event-ID after a drop or
// the API's "stopping", waiting longer after each failed try (up to 10 s).
// onConnect(resumed) is called on each connection; onEvent(event) answers the
// id to resume from (null: start afresh).
async function follow(path, onConnect, onEvent, untilEnd, signal) {
  let last = null;
  let failures = 0;
  while (!signal.aborted) {
    const extra = last === null ? {} : { "Last-Event-ID": last };
    let response;
    try {
      response = await fetch(path, { headers: headers(extra), signal, cache: "no-store" });
    } catch (error) {
      if (signal.aborted) return;
      await pause(Math.min(1000 * 2 ** failures++, 10000), signal);
      continue;
    }
    if (!response.ok) throw await failure(response);
    onConnect(last !== null);
    const ended = await readStream(response.body, (event) => {
      failures = 0;
      last = onEvent(event);
    });
    if (ended && untilEnd) return;
    await pause(Math.min(1000 * 2 ** failures++, 10000), signal);
  }
}

// Reads Server-Sent Events; true when the server closed the stream because
// the request finished, false when it dropped or the API is stopping.
async function readStream(body, onEvent) {
  const reader = body.pipeThrough(new TextDecoderStream()).getReader();
  let buffer = "";
  let event = { id: null, type: "", data: "" };
  try {
    for (;;) {
      const { value, done } = await reader.read();
      if (done) return true;
      buffer += value;
      let end;
      while ((end = buffer.indexOf("\n")) >= 0) {
        const line = buffer.slice(0, end).replace(/\r$/, "");
        buffer = buffer.slice(end + 1);
        if (line === "") {
          if (event.type === "stopping") return false;
          if (event.data) onEvent({ id: event.id, type: event.type, data: JSON.parse(event.data) });
          event = { id: event.id, type: "", data: "" };
        } else if (line.startsWith("event:")) {
          event.type = line.slice(6).trim();
        } else if (line.startsWith("data:")) {
          event.data += line.slice(5).trimStart();
        } else if (line.startsWith("id:")) {
          event.id = line.slice(3).trim();
        }
      }
    }
  } catch (_) {
    return false;  // dropped: resumed by the caller
  }
}

function pause(ms, signal) {
  return new Promise((resolve) => {
    const timer = setTimeout(resolve, ms);
    signal.addEventListener("abort", () => {
      clearTimeout(timer);
      resolve();
    });
  });
}
