// The console's start: asks for the token once per tab, then shows the
// health, the form, the list of requests and the request named in the
// address (#/requests/ID), who is on call and the incidents.
import { call, onTokenRefused, setToken, token } from "./api.js";
import { RequestDetail } from "./detail.js";
import { startHealth } from "./health.js";
import { IncidentsView, startOnCall } from "./incidents.js";
import { RequestList } from "./requests.js";
import { setUpSendForm } from "./send.js";

const $ = (selector) => document.querySelector(selector);

let list = null;
let detail = null;
let healthTimer = null;
let incidents = null;
let onCallTimer = null;

function askForToken(message) {
  if (list) list.stop();
  if (detail) detail.close();
  clearInterval(healthTimer);
  clearInterval(onCallTimer);
  if (incidents) incidents.stop();
  incidents = null;
  list = null;
  $("#console").hidden = true;
  $("#forget-token").hidden = true;
  $("#token-section").hidden = false;
  $("#token-error").textContent = message || "";
  $("#token").focus();
}

function showSelected(focus = false) {
  const match = location.hash.match(/^#\/requests\/(.+)$/);
  if (match) detail.show(decodeURIComponent(match[1]), focus);
  else detail.close();
}

function startConsole() {
  $("#token-section").hidden = true;
  $("#console").hidden = false;
  $("#forget-token").hidden = false;
  list = new RequestList($("#request-table"), $("#requests-error"), () => {});
  detail = new RequestDetail($("#detail"), $("#cancel-dialog"), () => list && list.refresh());
  list.start();
  healthTimer = startHealth($("#health-list"), $("#routes"));
  incidents = new IncidentsView($("#incidents"), $("#incident-dialog"));
  incidents.start();
  onCallTimer = startOnCall($("#oncall-list"));
  showSelected();
}

document.addEventListener("DOMContentLoaded", () => {
  onTokenRefused((message) => {
    setToken(null);
    askForToken("The token was refused: " + message);
  });
  $("#token-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    const value = $("#token").value.trim();
    if (!value) return;
    setToken(value);
    try {
      await call("/v1/requests?limit=1");
    } catch (error) {
      if (error.status !== 401) $("#token-error").textContent = error.message;
      return;
    }
    $("#token").value = "";
    startConsole();
  });
  $("#forget-token").addEventListener("click", () => {
    setToken(null);
    askForToken();
  });
  setUpSendForm($("#send-form"), (id) => {
    location.hash = "#/requests/" + id;
    list.refresh();
  });
  window.addEventListener("hashchange", () => {
    if (detail) showSelected(true);
  });
  if (token()) startConsole();
  else askForToken();
});
