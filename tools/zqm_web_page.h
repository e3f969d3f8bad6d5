// The page of `zqm web`: one self-contained document (no scripts, styles or
// fonts from elsewhere) that reads status.json with the token of its own
// address every RefreshSeconds and draws it. Every text from the fleet goes
// into the page through textContent or attribute setters, never as markup:
// server and host names are operator input.
#pragma once

inline constexpr const char* kWebPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<link rel="icon" href="data:,">
<title>Custodel fleet</title>
<style>
  :root { --fg:#1d2430; --muted:#6b7483; --line:#e3e7ee; --card:#fff; --bg:#f4f6f9;
          --ok:#1f8f4e; --warn:#b7791f; --bad:#c53030; --down:#8a94a3; }
  * { box-sizing: border-box; }
  body { margin:0; font:14px/1.4 system-ui, -apple-system, "Segoe UI", sans-serif;
         color:var(--fg); background:var(--bg); }
  header { display:flex; align-items:baseline; gap:16px; padding:14px 24px;
           background:#1d2430; color:#fff; }
  header h1 { margin:0; font-size:18px; font-weight:600; }
  header .meta { color:#c5ccd8; font-size:13px; }
  #banner { display:none; margin:16px 24px 0; padding:10px 14px; border-radius:6px;
            background:#fdecec; color:var(--bad); }
  main { padding:8px 24px 24px; }
  section.host { background:var(--card); border:1px solid var(--line); border-radius:8px;
                 margin-top:16px; overflow:hidden; }
  .hosthead { display:flex; flex-wrap:wrap; align-items:baseline; gap:10px; padding:10px 14px;
              border-bottom:1px solid var(--line); }
  .hosthead h2 { margin:0; font-size:16px; }
  .addr { color:var(--muted); font-family:ui-monospace, monospace; font-size:13px; }
  .pill { display:inline-block; padding:1px 8px; border-radius:10px; font-size:12px;
          background:#edf0f5; color:var(--fg); }
  .service { margin-left:auto; color:var(--muted); font-size:13px; }
  .reason { padding:10px 14px; color:var(--bad); }
  .configured { padding:0 14px 10px; color:var(--muted); }
  table { width:100%; border-collapse:collapse; }
  th { text-align:left; font-weight:600; font-size:12px; color:var(--muted);
       text-transform:uppercase; letter-spacing:.03em; padding:6px 8px; background:#fafbfc;
       border-bottom:1px solid var(--line); white-space:nowrap; }
  td { padding:4px 8px; border-bottom:1px solid var(--line); white-space:nowrap; }
  tr:last-child td { border-bottom:none; }
  /* The room to spare goes to the timeline: the other columns stay close. */
  th:last-child, td:last-child { width:100%; }
  th.num, td.num { text-align:right; font-variant-numeric:tabular-nums; }
  td.name { font-weight:600; }
  .why { color:var(--muted); white-space:normal; }
  .note { color:var(--muted); font-weight:400; font-size:12px; }
  td.folded { color:var(--muted); white-space:normal; background:#fafbfc; }
  .said { display:inline-block; max-width:130px; overflow:hidden; text-overflow:ellipsis;
          vertical-align:bottom; color:var(--muted); font-size:12px; }
  .good { color:var(--ok); } .poor { color:var(--bad); font-weight:600; }
  .pending { color:var(--warn); }
  .state { display:inline-block; min-width:78px; text-align:center; padding:1px 8px;
           border-radius:10px; font-size:12px; font-weight:600; color:#fff; }
  .s-running { background:var(--ok); } .s-starting { background:var(--warn); }
  .s-backoff { background:var(--bad); } .s-notrunning { background:#e26d6d; }
  .s-down { background:var(--down); } .s-unreachable { background:var(--bad); }
  svg.timeline { display:block; }
  .empty { padding:24px; color:var(--muted); }
</style>
</head>
<body>
<header><h1>Custodel fleet</h1><span class="meta" id="meta">loading&hellip;</span></header>
<div id="banner"></div>
<main id="hosts"></main>
<script>
"use strict";
const token = new URLSearchParams(location.search).get("token") || "";
let refreshSeconds = 5;

function el(tag, attributes, text) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) node.setAttribute(key, value);
  if (text !== undefined) node.textContent = String(text);
  return node;
}

function clock(seconds) {
  return new Date(seconds * 1000).toLocaleTimeString();
}

function uptime(seconds) {
  const d = Math.floor(seconds / 86400), h = Math.floor(seconds % 86400 / 3600),
        m = Math.floor(seconds % 3600 / 60), s = seconds % 60;
  const two = n => String(n).padStart(2, "0");
  return (d > 0 ? d + "d " : "") + two(h) + ":" + two(m) + ":" + two(s);
}

function stateBadge(state) {
  return el("span", {class: "state s-" + String(state).replace(/[^a-z]/g, "")}, state);
}

// The instance's last starts (green) and ends (red) on a line that ends now.
function timeline(events, now) {
  const ns = "http://www.w3.org/2000/svg", width = 150, height = 18;
  const svg = document.createElementNS(ns, "svg");
  svg.setAttribute("class", "timeline");
  svg.setAttribute("width", width);
  svg.setAttribute("height", height);
  const axis = document.createElementNS(ns, "line");
  for (const [k, v] of Object.entries({x1: 0, x2: width, y1: height / 2, y2: height / 2,
                                        stroke: "#d5dae3", "stroke-width": 2}))
    axis.setAttribute(k, v);
  svg.appendChild(axis);
  if (!events.length) return svg;
  const span = Math.max(120, (now - events[0].Time) * 1.1), pad = 6, left = 34;
  const caption = document.createElementNS(ns, "text");
  for (const [k, v] of Object.entries({x: 0, y: 12, "font-size": 10, fill: "#8a94a3"}))
    caption.setAttribute(k, v);
  caption.textContent = "-" + (span < 5400 ? Math.round(span / 60) + "m" : Math.round(span / 3600) + "h");
  svg.appendChild(caption);
  axis.setAttribute("x1", left);
  for (const event of events) {
    const x = left + pad + (1 - Math.min(1, (now - event.Time) / span)) * (width - left - 2 * pad);
    const mark = document.createElementNS(ns, event.Kind === "start" ? "circle" : "rect");
    if (event.Kind === "start") {
      for (const [k, v] of Object.entries({cx: x, cy: height / 2, r: 4, fill: "#1f8f4e"}))
        mark.setAttribute(k, v);
    } else {
      for (const [k, v] of Object.entries({x: x - 1.5, y: 1, width: 3, height: height - 2,
                                            fill: "#c53030"}))
        mark.setAttribute(k, v);
    }
    const title = document.createElementNS(ns, "title");
    title.textContent = event.Kind === "start" ? "started " + clock(event.Time)
                                               : "ended " + clock(event.Time) + ": " + event.Exit;
    mark.appendChild(title);
    svg.appendChild(mark);
  }
  return svg;
}

// "down by operator since ..." beside the badge of a server the operator
// took down ("zqm down"), for its instances that are down.
function byOperator(server, status) {
  if (status !== "down" || !server.DownByOperatorSince) return "";
  return el("span", {class: "why"},
            " by operator since " + new Date(server.DownByOperatorSince * 1000).toLocaleString());
}

// CPU time from decimal seconds, short: "1.2s", "4m05s", "3h20m".
function cpuTime(text) {
  const seconds = Number(text);
  if (!Number.isFinite(seconds) || seconds < 0) return String(text);
  const two = n => String(n).padStart(2, "0");
  if (seconds < 60) return seconds.toFixed(1) + "s";
  const whole = Math.floor(seconds);
  if (whole < 3600) return Math.floor(whole / 60) + "m" + two(whole % 60) + "s";
  return Math.floor(whole / 3600) + "h" + two(Math.floor(whole % 3600 / 60)) + "m";
}

function bytes(text) {
  if (!/^[0-9]+$/.test(String(text))) return String(text);
  let value = Number(text), unit = 0;
  const units = ["B", "K", "M", "G", "T"];
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; ++unit; }
  return (unit === 0 || value >= 10 ? Math.round(value) : value.toFixed(1)) + units[unit];
}

function readyCell(instance) {
  const cell = el("td");
  const readiness = instance.Readiness || "";
  cell.appendChild(readiness ? el("span", {class: readiness === "ready" ? "good" : "pending"},
                                     readiness)
                             : document.createTextNode("-"));
  if (instance.StatusText) {
    cell.append(" ", el("span", {class: "said", title: instance.StatusText}, instance.StatusText));
  }
  return cell;
}

function healthCell(instance) {
  if (!instance.Health) return el("td", {}, "-");
  const failures = instance.HealthFailures || 0;
  return el("td", {class: instance.Health === "healthy" ? "good" : "poor",
                   title: failures + " failed checks in a row"},
            instance.Health + (failures ? " (" + failures + ")" : ""));
}

// The columns every host table has, and those shown only when an instance
// of the host has a value for them: [heading, numeric, cell of an instance].
const fixedColumns = [
  ["Server", false], ["Inst", true], ["Watched", false], ["PID", true], ["Up", true],
  ["Restarts", true], ["Last exit", false]];
const optionalColumns = [
  ["Ready", false, i => i.Readiness || i.StatusText, readyCell],
  ["Health", false, i => i.Health, healthCell],
  ["CPU", true, i => i.CPUSeconds, i => el("td", {class: "num"}, i.CPUSeconds ? cpuTime(i.CPUSeconds) : "-")],
  ["Mem", true, i => i.MemoryBytes, i => el("td", {class: "num"}, i.MemoryBytes ? bytes(i.MemoryBytes) : "-")]];

function columnsOf(servers) {
  const instances = servers.flatMap(server => server.Instances || []);
  return optionalColumns.filter(([, , has]) => instances.some(has));
}

function serverRows(server, shown, now) {
  const rows = [];
  const instances = server.Instances || [];
  if (!instances.length) {
    const row = el("tr");
    row.append(el("td", {class: "name"}, server.Name), el("td", {class: "num"}, "-"),
               el("td", {}, "no"));
    const why = el("td", {class: "why", colspan: fixedColumns.length - 3 + shown.length},
                   server.Why || "");
    const state = el("td");
    state.append(stateBadge("down"), byOperator(server, "down"));
    row.append(why, state, el("td"));
    return [row];
  }
  instances.forEach((instance, index) => {
    const row = el("tr");
    const name = el("td", {class: "name"}, index === 0 ? server.Name : "");
    if (index === 0 && !server.RunsHere) name.append(" ", el("span", {class: "note"}, "(not configured here)"));
    row.append(name,
               el("td", {class: "num"}, instance.Instance),
               el("td", {}, instance.Watched ? "yes" : "no"),
               el("td", {class: "num"}, instance.Running ? instance.PID : "-"),
               el("td", {class: "num"}, instance.Running ? uptime(instance.UptimeSeconds) : "-"),
               el("td", {class: "num"}, instance.Watched ? instance.Restarts : "-"),
               el("td", {}, instance.LastExit || "-"));
    for (const [, , , cell] of shown) row.appendChild(cell(instance));
    const state = el("td");
    state.append(stateBadge(instance.Status), byOperator(server, instance.Status));
    const line = el("td");
    line.appendChild(timeline(instance.Timeline || [], now));
    row.append(state, line);
    rows.push(row);
  });
  return rows;
}

// The servers the host does not run and never ran, on one line.
function foldedRow(servers, width) {
  const row = el("tr");
  row.appendChild(el("td", {class: "folded", colspan: width},
                         "Not configured here (" + servers.length + "): " +
                             servers.map(server => server.Name).join(", ")));
  return row;
}

function hostSection(host, now) {
  const section = el("section", {class: "host"});
  const head = el("div", {class: "hosthead"});
  head.append(el("h2", {}, host.Host), el("span", {class: "addr"}, host.Address || "this host"));
  if (host.ServerConfiguration)
    head.append(el("span", {class: "pill"}, "configuration " + host.ServerConfiguration));
  section.appendChild(head);
  if (!host.Reachable) {
    head.appendChild(stateBadge("unreachable"));
    section.appendChild(el("div", {class: "reason"}, host.Reason));
    if ((host.ConfiguredServers || []).length)
      section.appendChild(el("div", {class: "configured"},
                             "Configured to run there: " + host.ConfiguredServers.join(", ")));
    return section;
  }
  const service = host.Service || {};
  head.appendChild(el("span", {class: "service"}, service.Running
      ? "service running (pid " + service.PID + ")" +
            (service.MonitorsProblem ? "; monitors unknown: " + service.MonitorsProblem : "")
      : "service not running"));
  const servers = host.Servers || [];
  const unconfigured = servers.filter(server => !server.RunsHere && !(server.Instances || []).length &&
                                                !server.DownByOperatorSince);
  const listed = servers.filter(server => !unconfigured.includes(server));
  const shown = columnsOf(listed);
  const table = el("table");
  const header = el("tr");
  const headings = [...fixedColumns, ...shown, ["State", false], ["Starts and ends", false]];
  for (const [heading, numeric] of headings)
    header.appendChild(el("th", numeric ? {class: "num"} : {}, heading));
  table.appendChild(el("thead")).appendChild(header);
  const body = table.appendChild(el("tbody"));
  for (const server of listed) body.append(...serverRows(server, shown, now));
  if (unconfigured.length) body.appendChild(foldedRow(unconfigured, headings.length));
  section.appendChild(table);
  return section;
}

function draw(fleet) {
  const hosts = document.getElementById("hosts");
  const banner = document.getElementById("banner");
  banner.style.display = fleet.Problem ? "block" : "none";
  banner.textContent = fleet.Problem || "";
  const sections = (fleet.Hosts || []).map(host => hostSection(host, fleet.Now));
  if (!sections.length)
    sections.push(el("div", {class: "empty"}, fleet.Pending ? "Asking the hosts\u2026" : "No hosts."));
  hosts.replaceChildren(...sections);
  const reachable = (fleet.Hosts || []).filter(host => host.Reachable).length;
  document.getElementById("meta").textContent = (fleet.Hosts || []).length + " hosts, " +
      reachable + " reachable \u00b7 as of " + (fleet.Now ? clock(fleet.Now) : "-") +
      " \u00b7 every " + refreshSeconds + " s";
}

async function refresh() {
  try {
    const answer = await fetch("status.json?token=" + encodeURIComponent(token),
                               {cache: "no-store"});
    if (!answer.ok) throw new Error("zqm web answered " + answer.status);
    const fleet = await answer.json();
    refreshSeconds = fleet.RefreshSeconds || refreshSeconds;
    draw(fleet);
  } catch (failure) {
    const banner = document.getElementById("banner");
    banner.style.display = "block";
    banner.textContent = "Cannot read the fleet from zqm web: " + failure.message;
  }
  setTimeout(refresh, refreshSeconds * 1000);
}
refresh();
</script>
</body>
</html>
)PAGE";
